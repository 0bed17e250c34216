#pragma once

#include "release_signing.h"
#include "tool_output.h"

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

struct PublishOptions {
    fs::path release; // the files as they must stand in an installation
    fs::path root;    // the web root; clients read <root>/latest/
    std::string id;   // folder name under <root>/releases/; empty: made from the time
    std::vector<fs::path> keys; // private keys that sign the release; none: unsigned
    int valid_days = kDefaultValidDays; // how long a signed release stays good
};

// Writes the release to <root>/releases/<id>/ with its manifest, then makes
// <root>/latest show it. Returns the exit code: 0 published; 1 refused or
// failed, with nothing published and latest as it was.
int PublishRelease(const PublishOptions &options, ToolOutput *output);
