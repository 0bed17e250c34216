#include "site_platform.h"

#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const char kLatestName[] = "latest";
const char kLatestTemporary[] = "latest.tmp";

std::string Describe(const fs::path &path, const std::error_code &code)
{
    return path.u8string() + ": " + code.message();
}

} // namespace

#ifndef _WIN32

// Linux: latest is a symbolic link to releases/<id>; a new link made beside
// it is renamed over it, which clients see as one step.

EntryKind ClassifyEntry(const fs::path &path)
{
    struct stat info;
    if (lstat(path.c_str(), &info) != 0)
        return EntryKind::kMissing;
    if (S_ISLNK(info.st_mode))
        return EntryKind::kLink;
    if (S_ISDIR(info.st_mode))
        return EntryKind::kFolder;
    if (S_ISREG(info.st_mode))
        return EntryKind::kFile;
    return EntryKind::kOther;
}

bool ListFolder(const fs::path &folder, std::vector<fs::path> *entries, std::string *error)
{
    entries->clear();
    std::error_code code;
    fs::directory_iterator it(folder, code);
    for (fs::directory_iterator end; !code && it != end; it.increment(code))
        entries->push_back(it->path());
    if (code)
        *error = Describe(folder, code);
    return !code;
}

bool RemoveTree(const fs::path &path)
{
    std::error_code code;
    fs::remove_all(path, code);
    return !code;
}

bool ResolveLink(const fs::path &link, fs::path *target, std::string *why)
{
    std::error_code code;
    *target = fs::canonical(link, code);
    if (code)
        *why = "is a symbolic link that leads nowhere";
    return !code;
}

bool NameBytes(const fs::path &name, std::string *bytes)
{
    *bytes = name.native();
    return true;
}

fs::path PathFromBytes(const std::string &bytes) { return fs::path(bytes); }

std::FILE *OpenFile(const fs::path &path, const char *mode) { return std::fopen(path.c_str(), mode); }

std::string LatestProblem(const fs::path &root)
{
    EntryKind kind = ClassifyEntry(root / kLatestName);
    if (kind == EntryKind::kMissing || kind == EntryKind::kLink)
        return "";
    return (root / kLatestName).u8string() +
           " is not a symbolic link; move it away, then publish again";
}

bool FlushToDisk(const fs::path &root, std::string *error)
{
    int folder = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    if (folder < 0) {
        *error = Describe(root, std::error_code(errno, std::generic_category()));
        return false;
    }
    bool ok = syncfs(folder) == 0;
    if (!ok)
        *error = Describe(root, std::error_code(errno, std::generic_category()));
    close(folder);
    return ok;
}

bool SwitchLatest(const fs::path &root, const std::string &id, std::string *error)
{
    fs::path temporary = root / kLatestTemporary;
    std::error_code code;
    fs::remove(temporary, code); // a link left by a run that stopped half way
    fs::create_directory_symlink(fs::path("releases") / id, temporary, code);
    if (code) {
        *error = Describe(temporary, code);
        return false;
    }
    if (rename(temporary.c_str(), (root / kLatestName).c_str()) != 0) {
        *error = Describe(root / kLatestName, std::error_code(errno, std::generic_category()));
        fs::remove(temporary, code);
        return false;
    }
    // The rename itself becomes durable with the folder that holds it.
    int folder = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return true;
}

#else

// Windows: the system here may make no symbolic links (Wine makes none,
// Windows only with a privilege), so latest is a real folder of hard links
// to releases/<id>. The switch renames the old folder away and the new one
// into place: in between, for the time of one rename, clients find no
// latest folder at all, never a mix of two releases.

namespace {

const char kLatestPrevious[] = "latest.previous";

std::string LastErrorText(const fs::path &path, DWORD code)
{
    return Describe(path, std::error_code((int)code, std::system_category()));
}

// Fills a new folder with hard links to every file of the release, copying
// where the file system makes no links.
bool MirrorRelease(const fs::path &release, const fs::path &mirror, std::string *error)
{
    std::error_code code;
    fs::create_directory(mirror, code);
    if (code) {
        *error = Describe(mirror, code);
        return false;
    }
    std::vector<fs::path> entries;
    if (!ListFolder(release, &entries, error))
        return false;
    for (const fs::path &entry : entries) {
        fs::path target = mirror / entry.filename();
        if (ClassifyEntry(entry) == EntryKind::kFolder) {
            if (!MirrorRelease(entry, target, error))
                return false;
            continue;
        }
        fs::create_hard_link(entry, target, code);
        if (code)
            fs::copy_file(entry, target, code);
        if (code) {
            *error = Describe(target, code);
            return false;
        }
    }
    return true;
}

} // namespace

EntryKind ClassifyEntry(const fs::path &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return EntryKind::kMissing;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return EntryKind::kLink;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return EntryKind::kFolder;
    if (attributes & FILE_ATTRIBUTE_DEVICE)
        return EntryKind::kOther;
    return EntryKind::kFile;
}

// The file system's own listing: the run-time library's folder iterator
// fails on paths longer than MAX_PATH.
bool ListFolder(const fs::path &folder, std::vector<fs::path> *entries, std::string *error)
{
    entries->clear();
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder / L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND)
            return true;
        *error = LastErrorText(folder, code);
        return false;
    }
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            entries->push_back(folder / name);
    } while (FindNextFileW(search, &found));
    DWORD code = GetLastError();
    FindClose(search);
    if (code != ERROR_NO_MORE_FILES) {
        *error = LastErrorText(folder, code);
        return false;
    }
    return true;
}

bool RemoveTree(const fs::path &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return DeleteFileW(path.c_str()) != 0;
    std::vector<fs::path> entries;
    std::string error;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT) && ListFolder(path, &entries, &error)) {
        for (const fs::path &entry : entries)
            RemoveTree(entry);
    }
    return RemoveDirectoryW(path.c_str()) != 0;
}

bool ResolveLink(const fs::path &, fs::path *, std::string *why)
{
    *why = "is a link, which the Windows build does not follow";
    return false;
}

bool NameBytes(const fs::path &name, std::string *bytes)
{
    const std::wstring &wide = name.native();
    bytes->clear();
    if (wide.empty())
        return true;
    BOOL lossy = FALSE;
    int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), (int)wide.size(),
                                   NULL, 0, NULL, &lossy);
    if (size <= 0 || lossy)
        return false;
    bytes->resize((size_t)size);
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), (int)wide.size(), &(*bytes)[0],
                        size, NULL, &lossy);
    return !lossy;
}

fs::path PathFromBytes(const std::string &bytes)
{
    std::wstring wide;
    int size = MultiByteToWideChar(CP_ACP, 0, bytes.data(), (int)bytes.size(), NULL, 0);
    if (size > 0) {
        wide.resize((size_t)size);
        MultiByteToWideChar(CP_ACP, 0, bytes.data(), (int)bytes.size(), &wide[0], size);
    }
    return fs::path(wide);
}

std::FILE *OpenFile(const fs::path &path, const char *mode)
{
    std::wstring wide_mode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(path.c_str(), wide_mode.c_str());
}

std::string LatestProblem(const fs::path &root)
{
    EntryKind kind = ClassifyEntry(root / kLatestName);
    if (kind == EntryKind::kMissing || kind == EntryKind::kFolder)
        return "";
    return (root / kLatestName).u8string() + " is not a folder; move it away, then publish again";
}

bool FlushToDisk(const fs::path &, std::string *)
{
    return true; // the files were closed; Windows writes them back by itself
}

bool SwitchLatest(const fs::path &root, const std::string &id, std::string *error)
{
    fs::path latest = root / kLatestName;
    fs::path temporary = root / kLatestTemporary;
    fs::path previous = root / kLatestPrevious;
    RemoveTree(temporary); // left by a run that stopped half way
    RemoveTree(previous);
    if (!MirrorRelease(root / "releases" / id, temporary, error)) {
        RemoveTree(temporary);
        return false;
    }
    bool had_latest = ClassifyEntry(latest) != EntryKind::kMissing;
    if (had_latest && !MoveFileExW(latest.c_str(), previous.c_str(), 0)) {
        *error = LastErrorText(latest, GetLastError());
        RemoveTree(temporary);
        return false;
    }
    if (!MoveFileExW(temporary.c_str(), latest.c_str(), 0)) {
        *error = LastErrorText(latest, GetLastError());
        if (had_latest)
            MoveFileExW(previous.c_str(), latest.c_str(), 0);
        RemoveTree(temporary);
        return false;
    }
    RemoveTree(previous);
    return true;
}

#endif
