#pragma once

#include "release_names.h"

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// One file of a release folder.
struct ReleaseFile {
    fs::path source;           // where its bytes are read (a link's target for a link)
    NameParts parts;           // its names below the release folder
    std::string manifest_path; // parts joined with '\'
};

// Every file of a release folder, sorted by manifest path in byte order, and
// every reason found not to publish it. Links that stay inside the release
// folder are followed; a link that leads out of it, nowhere, or round in a
// circle is refused.
struct ReleaseScan {
    std::vector<ReleaseFile> files;
    std::vector<std::string> refusals; // "<shown path>: <rule>"
    std::vector<std::string> warnings; // "<shown path>: <remark>"
};

// False when a folder cannot be read; error says which and why.
bool ScanRelease(const fs::path &folder, ReleaseScan *scan, std::string *error);
