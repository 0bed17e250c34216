#pragma once

#include "tool_output.h"

#include <string>
#include <vector>

// The command line: "publish [--id ID] RELEASE ROOT" or "verify ROOT"
// (arguments after the program name). Returns the exit code; 2 for a
// command line that it cannot use.
int RunReleaseTool(const std::vector<std::string> &arguments, ToolOutput *output);
