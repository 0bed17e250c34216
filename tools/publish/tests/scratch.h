#pragma once

#include <filesystem>
#include <string>

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed afterwards.
struct Scratch {
    fs::path dir;
    Scratch();
    ~Scratch();
};

// Writes bytes to path, making its folders.
void Put(const fs::path &path, const std::string &bytes);
// The whole content of path; "" when it cannot be read.
std::string Get(const fs::path &path);
