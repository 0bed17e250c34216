#pragma once

#include <map>
#include <string>

// Everything below a folder, keyed by path relative to it: files map to their
// contents, folders appear as "name\" and links to folders as "name@" (not
// followed), both with empty values.
typedef std::map<std::string, std::string> TreeSnapshot;

// Works past MAX_PATH, through the wide functions.
TreeSnapshot SnapshotTree(const std::string &root);

// Deletes root and everything below it, past MAX_PATH too. Links to folders
// are neither followed nor removed: under Wine that would reach their target.
void RemoveLongTree(const std::string &root);

// A path in the system code page as a wide string, for the "W" functions.
std::wstring WidePath(const std::string &path);
