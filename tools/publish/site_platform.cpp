#include "site_platform.h"

#include <chrono>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const char kLatestName[] = "latest";
const char kLatestTemporary[] = "latest.tmp"; // the start of each run's own name
const char kLockName[] = ".publish.lock";

std::string Describe(const fs::path &path, const std::error_code &code)
{
    return path.u8string() + ": " + code.message();
}

std::string DescribeRename(const fs::path &from, const fs::path &to, const std::error_code &code)
{
    return "cannot rename " + from.u8string() + " to " + to.u8string() + ": " + code.message();
}

bool StartsWith(const fs::path &path, const char *start)
{
    return path.filename().native().rfind(fs::path(start).native(), 0) == 0;
}

// This run's name for a temporary entry beside latest.
fs::path TemporaryName(const fs::path &root, const char *start)
{
    return root / (std::string(start) + "-" + UniqueSuffix());
}

} // namespace

bool ReadWholeFile(const fs::path &path, std::string *text)
{
    std::FILE *file = OpenFile(path, "rb");
    if (!file)
        return false;
    char chunk[65536];
    size_t got = 0;
    text->clear();
    while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0)
        text->append(chunk, got);
    bool ok = !std::ferror(file);
    std::fclose(file);
    return ok;
}

std::string UniqueSuffix()
{
#ifdef _WIN32
    unsigned long process = GetCurrentProcessId();
#else
    unsigned long process = (unsigned long)getpid();
#endif
    auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    return std::to_string(process) + "-" + std::to_string(ticks);
}

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

bool FlushFolder(const fs::path &folder, std::string *error)
{
    int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = descriptor >= 0 && fsync(descriptor) == 0;
    if (!ok)
        *error = "cannot flush " + Describe(folder, std::error_code(errno, std::generic_category()));
    if (descriptor >= 0)
        close(descriptor);
    return ok;
}

bool MakeReadable(const fs::path &path, std::string *error)
{
    std::error_code code;
    bool folder = fs::is_directory(fs::symlink_status(path, code));
    fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                     fs::perms::others_read;
    if (folder)
        mode |= fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    fs::permissions(path, mode, fs::perm_options::replace, code);
    if (code)
        *error = Describe(path, code);
    return !code;
}

bool LockRoot(const fs::path &folder, RootLock *lock, std::string *error)
{
    fs::path name = folder / kLockName;
    lock->handle = -1;
    int descriptor = open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    int result = descriptor < 0 ? -1 : 0;
    if (descriptor >= 0) {
        while ((result = flock(descriptor, LOCK_EX)) != 0 && errno == EINTR) {
        }
    }
    if (result != 0) {
        *error = "cannot lock " + Describe(name, std::error_code(errno, std::generic_category()));
        if (descriptor >= 0)
            close(descriptor);
        return false;
    }
    lock->handle = descriptor;
    return true;
}

void UnlockRoot(RootLock *lock)
{
    if (lock->handle >= 0)
        close((int)lock->handle);
    lock->handle = -1;
}

fs::path ShownRelease(const fs::path &root)
{
    std::error_code code;
    if (ClassifyEntry(root / kLatestName) != EntryKind::kLink)
        return fs::path();
    fs::path shown = fs::canonical(root / kLatestName, code);
    return code ? fs::path() : shown;
}

bool MayShowRelease(const fs::path &root, const std::string &id)
{
    std::error_code code;
    fs::path target = fs::read_symlink(root / kLatestName, code);
    if (code)
        return ClassifyEntry(root / kLatestName) != EntryKind::kMissing;
    return target.lexically_normal() == (fs::path("releases") / id).lexically_normal() ||
           fs::equivalent(root / kLatestName, root / "releases" / id, code) || code;
}

void RecoverSwitch(const fs::path &root)
{
    std::vector<fs::path> entries;
    std::string error;
    if (!ListFolder(root, &entries, &error))
        return;
    for (const fs::path &entry : entries) {
        if (StartsWith(entry, kLatestTemporary))
            RemoveTree(entry); // a link that was never renamed over latest
    }
}

bool SwitchLatest(const fs::path &root, const std::string &id, std::string *error)
{
    fs::path temporary = TemporaryName(root, kLatestTemporary);
    fs::path latest = root / kLatestName;
    std::error_code code;
    fs::create_directory_symlink(fs::path("releases") / id, temporary, code);
    if (code) {
        *error = Describe(temporary, code);
        return false;
    }
    if (rename(temporary.c_str(), latest.c_str()) != 0) {
        *error = DescribeRename(temporary, latest, std::error_code(errno, std::generic_category()));
        fs::remove(temporary, code);
        return false;
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

bool FlushFolder(const fs::path &, std::string *) { return true; }

bool MakeReadable(const fs::path &, std::string *)
{
    return true; // a new entry takes the access rules of its folder
}

bool LockRoot(const fs::path &folder, RootLock *lock, std::string *error)
{
    fs::path name = folder / kLockName;
    lock->handle = -1;
    HANDLE file = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        *error = "cannot lock " + LastErrorText(name, GetLastError());
        return false;
    }
    OVERLAPPED at = {};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
        *error = "cannot lock " + LastErrorText(name, GetLastError());
        CloseHandle(file);
        return false;
    }
    lock->handle = (intptr_t)file;
    return true;
}

void UnlockRoot(RootLock *lock)
{
    if (lock->handle != -1)
        CloseHandle((HANDLE)lock->handle);
    lock->handle = -1;
}

fs::path ShownRelease(const fs::path &root)
{
    fs::path latest = root / kLatestName;
    return ClassifyEntry(latest) == EntryKind::kFolder ? latest : fs::path();
}

bool MayShowRelease(const fs::path &root, const std::string &id)
{
    // latest holds hard links to the release's files: removing the release
    // leaves them whole, and where links were copies, the copies too.
    std::error_code code;
    return fs::equivalent(root / kLatestName / "manifest.txt",
                          root / "releases" / id / "manifest.txt", code);
}

void RecoverSwitch(const fs::path &root)
{
    fs::path latest = root / kLatestName;
    std::vector<fs::path> entries;
    std::string error;
    if (!ListFolder(root, &entries, &error))
        return;
    // Stopped between its two renames: the release moved aside is the one
    // that clients were shown, and goes back first.
    for (const fs::path &entry : entries) {
        if (StartsWith(entry, kLatestPrevious) && ClassifyEntry(latest) == EntryKind::kMissing)
            MoveFileExW(entry.c_str(), latest.c_str(), 0);
    }
    for (const fs::path &entry : entries) {
        if (StartsWith(entry, kLatestTemporary) || StartsWith(entry, kLatestPrevious))
            RemoveTree(entry);
    }
}

bool SwitchLatest(const fs::path &root, const std::string &id, std::string *error)
{
    fs::path latest = root / kLatestName;
    fs::path temporary = TemporaryName(root, kLatestTemporary);
    fs::path previous = TemporaryName(root, kLatestPrevious);
    if (!MirrorRelease(root / "releases" / id, temporary, error)) {
        RemoveTree(temporary);
        return false;
    }
    bool had_latest = ClassifyEntry(latest) != EntryKind::kMissing;
    if (had_latest && !MoveFileExW(latest.c_str(), previous.c_str(), MOVEFILE_WRITE_THROUGH)) {
        *error = DescribeRename(latest, previous,
                                std::error_code((int)GetLastError(), std::system_category()));
        RemoveTree(temporary);
        return false;
    }
    if (!MoveFileExW(temporary.c_str(), latest.c_str(), MOVEFILE_WRITE_THROUGH)) {
        *error = DescribeRename(temporary, latest,
                                std::error_code((int)GetLastError(), std::system_category()));
        if (had_latest)
            MoveFileExW(previous.c_str(), latest.c_str(), 0);
        RemoveTree(temporary);
        return false;
    }
    RemoveTree(previous);
    return true;
}

#endif
