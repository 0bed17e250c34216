#pragma once

#include <string>
#include <vector>

// The tests run under Wine, in the same Linux host as the build. These reach
// that host for what Win32 under Wine cannot do itself (symbolic links, drive
// letters). Each returns a failure when the program does not run under Wine.

// Runs a Unix program (argv[0] is its full path) and waits for it.
// Returns its exit status, or -1 when it could not be started.
int RunUnixProgram(const std::vector<std::string> &argv);

// The command that runs a Windows program (by its Unix path) with this
// prefix's Wine loader, with "NAME=value" entries added to its environment;
// empty when the loader is not known.
std::vector<std::string> WineCommand(const std::string &unix_program,
                                     const std::vector<std::string> &environment = {});

// The Windows path (on drive Z:, the Unix root) of a Unix path.
std::string WindowsPathOfUnix(const std::string &unix_path);

// The Unix path of a Windows path, or "" when there is none.
std::string UnixPathOf(const std::string &windows_path);

// The folder holding this Wine prefix's drive letters (ends in '/'), or "".
std::string WineDriveLinksFolder();

// True when both Windows paths lie on one Unix file system.
bool OnSameFileSystem(const std::string &a, const std::string &b);

// A Unix symbolic link at link_path to target (both Windows paths), removed
// again with the object. Under Wine such a link to a folder is listed with
// FILE_ATTRIBUTE_REPARSE_POINT.
struct UnixSymlink {
    UnixSymlink(const std::string &link_path, const std::string &target);
    ~UnixSymlink();
    UnixSymlink(const UnixSymlink &) = delete;
    UnixSymlink &operator=(const UnixSymlink &) = delete;
    bool made = false;
    std::string unix_link;
};

// A drive letter that was free, mapped for the object's lifetime to a fresh
// folder under /dev/shm (its own file system); the mapping and the folder go
// with the object.
struct MappedDrive {
    MappedDrive();
    ~MappedDrive();
    MappedDrive(const MappedDrive &) = delete;
    MappedDrive &operator=(const MappedDrive &) = delete;
    std::string root;   // "X:\", or "" when no letter could be mapped
    std::string folder; // the same folder by its Z: path
    std::string unix_link;
};
