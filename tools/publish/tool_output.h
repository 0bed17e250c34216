#pragma once

#include <string>

// What a command has to say: out for results, err for refusals, warnings
// and failures. The program prints both when the command is done.
struct ToolOutput {
    std::string out;
    std::string err;
};
