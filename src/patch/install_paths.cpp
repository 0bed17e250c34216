#include "patch/install_paths.h"

#include "patch/held_files.h"

#include <windows.h>

namespace {

int Length(const char *s) { return lstrlenA(s); }

} // namespace

int JoinLocalPath(const char *base, const char *relative, char *out, int capacity)
{
    if (!base || !relative || !out || capacity <= 0)
        return 0;
    const char *rest = SkipSeparators(relative);
    int base_length = Length(base);
    int rest_length = Length(rest);
    // One byte is always counted for the separator, inserted or not.
    if (base_length + rest_length + 1 >= capacity)
        return 0;

    CopyMemory(out, base, base_length);
    int at = base_length;
    if (base_length > 0 && !IsSeparator(base[base_length - 1]))
        out[at++] = '\\';
    CopyMemory(out + at, rest, rest_length);
    out[at + rest_length] = '\0';
    return 1;
}

namespace {

// The component starting at p (up to the next separator) into name; false
// when it does not fit.
bool CopyComponent(const char *p, int length, char *name, int capacity)
{
    if (length >= capacity)
        return false;
    CopyMemory(name, p, length);
    name[length] = '\0';
    return true;
}

} // namespace

int HoldFoldersBelow(HANDLE install, const char *relative, int make, HeldFolders *held)
{
    if (!held)
        return 0;
    held->count = 0;
    if (!install || install == INVALID_HANDLE_VALUE || !relative)
        return 0;
    HANDLE folder = install;
    const char *p = SkipSeparators(relative);
    for (;;) {
        const char *end = p;
        while (*end != '\0' && !IsSeparator(*end))
            end++;
        if (*end == '\0')
            return 1; // the file's own name
        char name[kJoinedPathCapacity];
        if (!CopyComponent(p, (int)(end - p), name, kJoinedPathCapacity))
            return 0;
        if (lstrcmpA(name, ".") != 0) {
            if (lstrcmpA(name, "..") == 0 || held->count == kMaxHeldFolders)
                return 0;
            folder = HoldFolderIn(folder, name, make);
            if (folder == INVALID_HANDLE_VALUE)
                return 0;
            held->folders[held->count++] = folder;
        }
        p = SkipSeparators(end);
    }
}

void ReleaseFolders(HeldFolders *held)
{
    if (!held)
        return;
    while (held->count > 0)
        CloseHandle(held->folders[--held->count]);
}

HANDLE TargetFolder(HANDLE install, const HeldFolders *held)
{
    return held->count > 0 ? held->folders[held->count - 1] : install;
}

const char *TargetName(const char *relative)
{
    const char *name = relative;
    for (const char *p = relative; *p != '\0'; p++)
        if (IsSeparator(*p))
            name = p + 1;
    return name;
}
