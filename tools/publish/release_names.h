#pragma once

#include <string>
#include <vector>

// Rules for the names of release files: a release may hold only files that
// every client can install under exactly the name the manifest gives them.

// Path of one release file as its folder names and file name, top down.
using NameParts = std::vector<std::string>;

// The manifest path: the parts joined with '\'.
std::string ManifestPathOf(const NameParts &parts);

// The path as shown in messages: parts joined with '/', control bytes as \xNN.
std::string ShownPathOf(const NameParts &parts);

struct NameVerdict {
    std::string refusal;               // empty: the file may be published
    std::vector<std::string> warnings; // shown, but the file is published
};

// Judges one release file by its name alone.
NameVerdict JudgeReleaseName(const NameParts &parts);

// For every file whose name Windows would take for the name of an earlier
// file or folder of the list (case and trailing dots or blanks ignored),
// returns "<shown path>: <rule>" texts. Empty when the names are distinct.
std::vector<std::string> FindWindowsNameClashes(const std::vector<NameParts> &files);
