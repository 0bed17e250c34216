#include "support/temp_folder.h"

#include <windows.h>

#include <cstdio>

TempFolder::TempFolder()
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    static LONG serial = 0;
    char name[MAX_PATH];
    snprintf(name, sizeof(name), "%sbhp-test-%lu-%lu-%ld", temp, GetCurrentProcessId(),
             GetTickCount(), InterlockedIncrement(&serial));
    CreateDirectoryA(name, NULL);
    path = name;
}

TempFolder::~TempFolder() { RemoveTree(path); }

std::string TempFolder::Join(const std::string &relative) const
{
    return path + "\\" + relative;
}

bool WriteWholeFile(const std::string &path, const std::string &bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, NULL);
    CloseHandle(file);
    return ok && written == bytes.size();
}

bool ReadWholeFile(const std::string &path, std::string *bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bytes->clear();
    char buffer[65536];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, buffer, sizeof(buffer), &got, NULL) != 0) && got > 0)
        bytes->append(buffer, got);
    CloseHandle(file);
    return ok;
}

bool FileExists(const std::string &path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FolderExists(const std::string &path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Deletes a folder tree without following links to folders. Links are left
// alone: under Wine, removing a link to an empty folder removes that folder.
void RemoveTree(const std::string &path)
{
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string child = path + "\\" + name;
            bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            if (link)
                continue;
            SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (folder)
                RemoveTree(child);
            else
                DeleteFileA(child.c_str());
        } while (FindNextFileA(find, &found));
        FindClose(find);
    }
    RemoveDirectoryA(path.c_str());
}

std::string PseudoRandomBytes(size_t size, unsigned long seed)
{
    std::string bytes(size, '\0');
    DWORD state = seed;
    for (size_t i = 0; i < size; i++) {
        state = state * 1103515245u + 12345u;
        bytes[i] = (char)(state >> 24);
    }
    return bytes;
}
