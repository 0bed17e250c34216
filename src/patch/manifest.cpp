#include "patch/manifest.h"

namespace {

bool IsLineBreak(char c) { return c == '\r' || c == '\n'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// One line of the text: [begin, end), never empty, without its line breaks.
struct Line {
    const char *begin;
    const char *end;
};

// Steps past the line breaks at *cursor and takes the next line.
// Returns false at the terminating NUL.
bool NextLine(const char **cursor, Line *line)
{
    const char *p = *cursor;
    while (IsLineBreak(*p))
        p++;
    if (*p == '\0') {
        *cursor = p;
        return false;
    }
    line->begin = p;
    while (*p != '\0' && !IsLineBreak(*p))
        p++;
    line->end = p;
    *cursor = p;
    return true;
}

bool IsBlankLine(const Line &line)
{
    for (const char *p = line.begin; p < line.end; p++)
        if (!IsBlank(*p))
            return false;
    return true;
}

DWORD CountNonBlankLines(const char *text)
{
    DWORD count = 0;
    Line line;
    while (NextLine(&text, &line))
        if (!IsBlankLine(line))
            count++;
    return count;
}

// Splits a non-blank line into its checksum and path. Returns false when the
// line yields no entry (it ends inside or just behind its digits).
bool SplitEntry(const Line &line, DWORD *checksum, const char **path, DWORD *length)
{
    const char *p = line.begin;
    while (p < line.end && IsBlank(*p))
        p++;
    DWORD value = 0;
    while (p < line.end && IsDigit(*p)) {
        value = value * 10 + (DWORD)(*p - '0'); // folds modulo 2^32
        p++;
    }
    while (p < line.end && IsBlank(*p))
        p++;
    if (p == line.end)
        return false;
    const char *end = line.end;
    while (IsBlank(end[-1]))
        end--;
    *checksum = value;
    *path = p;
    *length = (DWORD)(end - p);
    return true;
}

void ReleaseAll(UpdateManifest *manifest)
{
    HANDLE heap = GetProcessHeap();
    if (manifest->paths) {
        for (DWORD i = 0; i < manifest->count; i++)
            if (manifest->paths[i])
                HeapFree(heap, 0, manifest->paths[i]);
        HeapFree(heap, 0, manifest->paths);
    }
    if (manifest->checksums)
        HeapFree(heap, 0, manifest->checksums);
    manifest->paths = NULL;
    manifest->checksums = NULL;
    manifest->count = 0;
}

// Fills up to slots entries from the text; false when a path block cannot be
// allocated (the entries made so far stay counted in the record).
bool FillEntries(const char *text, DWORD slots, UpdateManifest *manifest)
{
    HANDLE heap = GetProcessHeap();
    Line line;
    while (manifest->count < slots && NextLine(&text, &line)) {
        if (IsBlankLine(line))
            continue;
        DWORD checksum = 0;
        const char *path = NULL;
        DWORD length = 0;
        if (!SplitEntry(line, &checksum, &path, &length))
            continue;
        char *copy = (char *)HeapAlloc(heap, 0, length + 1);
        if (!copy)
            return false;
        CopyMemory(copy, path, length);
        copy[length] = '\0';
        manifest->paths[manifest->count] = copy;
        manifest->checksums[manifest->count] = checksum;
        manifest->count++;
    }
    return true;
}

} // namespace

int ParseManifest(const char *text, UpdateManifest *manifest)
{
    if (!text || !manifest)
        return 0;
    // A record that still owns blocks is refused rather than overwritten: the
    // caller may still be using them.
    if (manifest->paths || manifest->checksums || manifest->count)
        return 0;

    DWORD slots = CountNonBlankLines(text);
    if (slots == 0)
        return 1;

    if (slots > MAXDWORD / sizeof(char *))
        return 0; // the arrays could not be sized: as good as out of memory

    HANDLE heap = GetProcessHeap();
    manifest->paths = (char **)HeapAlloc(heap, HEAP_ZERO_MEMORY, slots * sizeof(char *));
    manifest->checksums = manifest->paths
        ? (DWORD *)HeapAlloc(heap, HEAP_ZERO_MEMORY, slots * sizeof(DWORD))
        : NULL;
    if (!manifest->paths || !manifest->checksums || !FillEntries(text, slots, manifest)) {
        ReleaseAll(manifest);
        return 0;
    }
    return 1;
}

int FreeManifest(UpdateManifest *manifest)
{
    if (!manifest)
        return 0;
    ReleaseAll(manifest);
    return 1;
}
