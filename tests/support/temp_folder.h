#pragma once

#include <string>

// A fresh folder under the user's temporary folder, removed with everything
// in it when the object goes out of scope. Tests write only inside it.
struct TempFolder {
    TempFolder();
    ~TempFolder();
    std::string path; // no trailing separator
    std::string Join(const std::string &relative) const;
};

// Helpers over real files for tests.
bool WriteWholeFile(const std::string &path, const std::string &bytes);
bool ReadWholeFile(const std::string &path, std::string *bytes);
bool FileExists(const std::string &path);
bool FolderExists(const std::string &path);
void RemoveTree(const std::string &path);

// Bytes that look random and are the same for the same seed.
std::string PseudoRandomBytes(size_t size, unsigned long seed);
