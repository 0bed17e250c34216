#include "bench_files.h"

#include <windows.h>

char *ReadWholeText(const char *path)
{
    char *text = NULL;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return NULL;
    DWORD size = GetFileSize(file, NULL);
    DWORD got = 0;
    if (size != INVALID_FILE_SIZE)
        text = (char *)HeapAlloc(GetProcessHeap(), 0, size + 1);
    if (text && (!ReadFile(file, text, size, &got, NULL) || got != size)) {
        HeapFree(GetProcessHeap(), 0, text);
        text = NULL;
    }
    if (text)
        text[size] = '\0';
    CloseHandle(file);
    return text;
}
