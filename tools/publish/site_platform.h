#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

// What differs between the Linux and the Windows build of the release tool.

namespace fs = std::filesystem;

enum class EntryKind { kMissing, kFile, kFolder, kLink, kOther };

// The kind of the entry itself; a link is not followed.
EntryKind ClassifyEntry(const fs::path &path);

// The entries of a folder as full paths, "." and ".." left out.
bool ListFolder(const fs::path &folder, std::vector<fs::path> *entries, std::string *error);

// Removes a file, a link (not what it leads to) or a folder with all it
// holds. True when nothing is left under the path.
bool RemoveTree(const fs::path &path);

// Where a link finally leads, as a canonical path; false with the reason
// when it cannot be followed.
bool ResolveLink(const fs::path &link, fs::path *target, std::string *why);

// The bytes of one file or folder name as the manifest carries them (the
// ANSI code page on Windows). False when the name has no such form.
bool NameBytes(const fs::path &name, std::string *bytes);

// The name or path whose bytes NameBytes gives (arguments too come so).
fs::path PathFromBytes(const std::string &bytes);

// Opens a file with fopen modes, for any name the file system holds.
std::FILE *OpenFile(const fs::path &path, const char *mode);

// Reads a whole file into text; false when it cannot be opened or read.
bool ReadWholeFile(const fs::path &path, std::string *text);

// Empty when <root>/latest is absent or of the kind this build switches;
// otherwise says what stands in the way.
std::string LatestProblem(const fs::path &root);

// Makes everything written under root durable before the switch.
bool FlushToDisk(const fs::path &root, std::string *error);

// Makes the entries of a folder (a rename in it) durable.
bool FlushFolder(const fs::path &folder, std::string *error);

// Sets a file or folder that a publish made readable by the web server,
// whatever the umask was.
bool MakeReadable(const fs::path &path, std::string *error);

// Text for names no other run uses at the same time: the process and the clock.
std::string UniqueSuffix();

// An exclusive hold on a web root: one publish at a time changes it. The
// system lets go of it when the process ends, however it ends.
struct RootLock {
    intptr_t handle; // descriptor or handle of the lock file; -1: not held
};

// Waits until no other publish holds the lock file in folder, then holds it.
bool LockRoot(const fs::path &folder, RootLock *lock, std::string *error);
void UnlockRoot(RootLock *lock);

// The folder whose files <root>/latest shows now; empty when there is none.
fs::path ShownRelease(const fs::path &root);

// False only when <root>/latest surely does not show <root>/releases/<id>.
bool MayShowRelease(const fs::path &root, const std::string &id);

// Puts right what a publish stopped during its switch left behind (its
// temporary names; on Windows a latest moved aside), so that latest stands.
void RecoverSwitch(const fs::path &root);

// Makes <root>/latest show <root>/releases/<id> to clients. False when latest
// still shows what it showed before.
bool SwitchLatest(const fs::path &root, const std::string &id, std::string *error);
