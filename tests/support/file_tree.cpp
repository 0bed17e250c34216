#include "support/file_tree.h"

#include <windows.h>

namespace {

std::string Narrow(const std::wstring &text)
{
    int count = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, NULL, 0, NULL, NULL);
    if (count <= 0)
        return std::string();
    std::string narrow(count, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &narrow[0], count, NULL, NULL);
    narrow.resize(count - 1);
    return narrow;
}

bool IsDotName(const wchar_t *name)
{
    return lstrcmpW(name, L".") == 0 || lstrcmpW(name, L"..") == 0;
}

std::string ReadWide(const std::wstring &path)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return "<unreadable>";
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, NULL) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

void Snapshot(const std::wstring &folder, const std::string &prefix, TreeSnapshot *out)
{
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        if (IsDotName(found.cFileName))
            continue;
        std::wstring child = folder + L"\\" + found.cFileName;
        std::string name = prefix + Narrow(found.cFileName);
        bool is_folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        bool is_link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (is_folder && is_link) {
            (*out)[name + "@"] = "";
        } else if (is_folder) {
            (*out)[name + "\\"] = "";
            Snapshot(child, name + "\\", out);
        } else {
            (*out)[name] = ReadWide(child);
        }
    } while (FindNextFileW(find, &found));
    FindClose(find);
}

void RemoveWide(const std::wstring &folder)
{
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (IsDotName(found.cFileName))
                continue;
            std::wstring child = folder + L"\\" + found.cFileName;
            bool is_folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            bool is_link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            if (is_link)
                continue;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (is_folder)
                RemoveWide(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

} // namespace

std::wstring WidePath(const std::string &path)
{
    int count = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, NULL, 0);
    if (count <= 0)
        return std::wstring();
    std::wstring wide(count, L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &wide[0], count);
    wide.resize(count - 1);
    return wide;
}

TreeSnapshot SnapshotTree(const std::string &root)
{
    TreeSnapshot tree;
    Snapshot(WidePath(root), "", &tree);
    return tree;
}

void RemoveLongTree(const std::string &root) { RemoveWide(WidePath(root)); }
