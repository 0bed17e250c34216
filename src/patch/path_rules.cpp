#include "patch/path_rules.h"

namespace {

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c; }

// Compares the first three bytes of name with an upper-case word.
bool StartsWithWord(const char *name, const char *word)
{
    for (int i = 0; i < 3; i++)
        if (AsciiUpper(name[i]) != word[i])
            return false;
    return true;
}

// Windows drops a trailing '.' or ' ' from a name ("data." opens "data"); a
// lone "." (this folder) is the one such component that names what it says.
bool EndsInDroppedCharacter(const char *name, int length)
{
    if (length == 1 && name[0] == '.')
        return false;
    char last = name[length - 1];
    return last == '.' || last == ' ';
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 open devices, in any case and with any
// extension ("nul.txt"); blanks before the extension do not change that.
bool IsDeviceName(const char *name, int length)
{
    int stem = 0;
    while (stem < length && name[stem] != '.')
        stem++;
    while (stem > 0 && name[stem - 1] == ' ')
        stem--;
    if (stem == 3)
        return StartsWithWord(name, "CON") || StartsWithWord(name, "PRN") ||
               StartsWithWord(name, "AUX") || StartsWithWord(name, "NUL");
    return stem == 4 && (StartsWithWord(name, "COM") || StartsWithWord(name, "LPT")) &&
           name[3] >= '1' && name[3] <= '9';
}

// Case is ignored, as Windows ignores it.
bool IsFolderName(const char *name, int length, const char *folder)
{
    int i = 0;
    for (; i < length && folder[i] != '\0'; i++)
        if (AsciiUpper(name[i]) != AsciiUpper(folder[i]))
            return false;
    return i == length && folder[i] == '\0';
}

PathFault ComponentFault(const char *name, int length)
{
    if (length == 2 && name[0] == '.' && name[1] == '.')
        return kPathDotDot;
    for (int i = 0; i < length; i++)
        if (name[i] == ':')
            return kPathColon;
    if (EndsInDroppedCharacter(name, length))
        return kPathDroppedEnd;
    return IsDeviceName(name, length) ? kPathDeviceName : kPathSafe;
}

// The bytes that RFC 3986 allows in a path segment besides letters and digits;
// every other byte is escaped, so that the server sees the name's own bytes
// and no byte ends the path, starts a query or a fragment, or an escape.
bool TravelsAsItIs(unsigned char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    for (const char *p = "-._~!$&'()*+,;=:@"; *p; p++)
        if (c == (unsigned char)*p)
            return true;
    return false;
}

} // namespace

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

const char *SkipSeparators(const char *p)
{
    while (IsSeparator(*p))
        p++;
    return p;
}

PathFault FindPathFault(const char *path)
{
    if (!path)
        return kPathEmpty;
    const char *p = SkipSeparators(path);
    if (*p == '\0')
        return kPathEmpty;
    bool at_top = true; // no component but "." seen yet
    while (*p != '\0') {
        int length = 0;
        while (p[length] != '\0' && !IsSeparator(p[length]))
            length++;
        PathFault fault = ComponentFault(p, length);
        if (fault != kPathSafe)
            return fault;
        if (at_top && IsFolderName(p, length, kStagingFolderName))
            return kPathStaging;
        if (at_top && IsFolderName(p, length, kQuickCheckFolderName))
            return kPathQuickCheck;
        at_top = at_top && length == 1 && p[0] == '.';
        p = SkipSeparators(p + length);
    }
    return kPathSafe;
}

int IsSafeRelativePath(const char *path) { return FindPathFault(path) == kPathSafe; }

int JoinServerPath(const char *prefix, const char *relative, char *out, int capacity)
{
    if (!prefix || !relative || !out || capacity <= 0)
        return 0;
    int prefix_length = 0;
    while (prefix[prefix_length] != '\0')
        prefix_length++;
    if (prefix_length >= capacity)
        return 0;

    const char hex[] = "0123456789ABCDEF";
    for (int i = 0; i < prefix_length; i++)
        out[i] = prefix[i];
    int at = prefix_length;
    const char *rest = SkipSeparators(relative);
    for (; *rest != '\0'; rest++) {
        unsigned char c = (unsigned char)*rest;
        if (IsSeparator(*rest) || TravelsAsItIs(c)) {
            if (at + 1 > capacity - 1)
                break;
            out[at++] = IsSeparator(*rest) ? '/' : *rest;
        } else {
            if (at + 3 > capacity - 1)
                break;
            out[at++] = '%';
            out[at++] = hex[c >> 4];
            out[at++] = hex[c & 15];
        }
    }
    out[at] = '\0';
    return *rest == '\0';
}
