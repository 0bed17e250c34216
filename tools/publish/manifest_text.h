#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The manifest as clients read it: one line per file, the decimal CRC-32,
// one blank, the path with '\' separators.

struct ManifestLine {
    uint32_t crc;
    std::string path;
};

// One line per entry, LF-terminated, in the order given.
std::string FormatManifest(const std::vector<ManifestLine> &lines);

// Reads a manifest the way the patcher does: the text ends at a NUL, runs
// of CR and LF separate lines, blanks are space and tab, a line is
// [blanks] digits [blanks] path [blanks], and a line without a path is no entry.
std::vector<ManifestLine> ReadManifest(const std::string &text);
