#pragma once

#include "tool_output.h"

#include <filesystem>

namespace fs = std::filesystem;

// Checks <root>/latest/ against its manifest: every entry present with its
// CRC-32, and no file that no entry lists. Returns the exit code: 0 all in
// order, 1 problems found (each one named), 2 the manifest cannot be read.
int VerifySite(const fs::path &root, ToolOutput *output);
