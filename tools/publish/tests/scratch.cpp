#include "scratch.h"

#include "site_platform.h"

#include <chrono>
#include <fstream>
#include <sstream>

Scratch::Scratch()
{
    static int serial = 0;
    auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    dir = fs::temp_directory_path() /
          ("release-tool-test-" + std::to_string(ticks) + "-" + std::to_string(++serial));
    fs::create_directories(dir);
}

Scratch::~Scratch() { RemoveTree(dir); }

void Put(const fs::path &path, const std::string &bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
}

std::string Get(const fs::path &path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}
