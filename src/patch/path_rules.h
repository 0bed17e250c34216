#pragma once

// The rules for manifest paths that need no platform service. The patcher
// applies them through install_paths; the release tool builds this file too,
// so that it publishes exactly the paths that the patcher accepts.

// Installation and server paths are built in buffers of this many bytes.
const int kJoinedPathCapacity = 520;

// The installation's folder where the patcher keeps downloads until they are
// moved into place (an 8.3 name, so that no short alias leads into it).
const char kStagingFolderName[] = "patchtmp";
// The installation's folder where the patcher keeps the record of its quick
// check (quick_check.h), another 8.3 name.
const char kQuickCheckFolderName[] = "patchchk";

// Both '\' and '/' separate the components of a manifest path.
bool IsSeparator(char c);
// p moved past any separators it starts with.
const char *SkipSeparators(const char *p);

// Why a manifest path may not be used below the installation folder.
enum PathFault {
    kPathSafe = 0,
    kPathEmpty,       // null, empty, or nothing but separators
    kPathDotDot,      // a ".." component
    kPathColon,       // a ':' anywhere
    kPathDroppedEnd,  // a component other than "." ending in '.' or ' '
    kPathDeviceName,  // CON, PRN, AUX, NUL, COM1-9, LPT1-9, with any extension
    kPathStaging,     // leads into the staging folder (its name at the top)
    kPathQuickCheck,  // leads into the quick check's folder (its name at the top)
};

// The first fault of the path, component by component, or kPathSafe.
PathFault FindPathFault(const char *path);

// Returns 1 when FindPathFault finds nothing; 0 otherwise, also for null.
int IsSafeRelativePath(const char *path);

// Writes prefix + relative with every '\' as '/' and every byte that a URL
// path cannot carry as it is (blank, '%', '#', '?', bytes outside printable
// ASCII...) as %XX. Returns 0 when the prefix does not fit (out untouched)
// or when relative was cut short (out holds the cut text, never half an
// escape).
int JoinServerPath(const char *prefix, const char *relative, char *out, int capacity);
