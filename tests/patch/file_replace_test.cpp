#include "patch/file_replace.h"

#include "patch/install_paths.h"

#include "support/file_tree.h"
#include "support/iat_patch.h"
#include "support/temp_folder.h"
#include "support/unix_host.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const char kOld[] = "installed version";
const char kNew[] = "downloaded version";
const char kStale[] = "leftover of an earlier run";

// How a file is kept from being deleted.
enum Lock {
    kFree,
    kReadOnly, // DeleteFileA: access denied; Wine still renames over it
    kHeldOpen, // open without FILE_SHARE_DELETE: neither delete nor rename
    kInUse,    // open with FILE_SHARE_DELETE: renamed away, not replaced
    kReadOnlyInUse,
};

// Handles held for a test, closed on every way out of it.
struct HeldFiles {
    std::vector<HANDLE> handles;
    ~HeldFiles() { CloseAll(); }
    void CloseAll()
    {
        for (HANDLE handle : handles)
            CloseHandle(handle);
        handles.clear();
    }
};

// Writes a file, making its folders first.
void Plant(const std::string &root, const std::string &relative, const std::string &content)
{
    for (size_t at = relative.find('\\'); at != std::string::npos;
         at = relative.find('\\', at + 1))
        CreateDirectoryA((root + "\\" + relative.substr(0, at)).c_str(), NULL);
    ASSERT_TRUE(WriteWholeFile(root + "\\" + relative, content)) << relative;
}

void ApplyLock(const std::string &path, Lock lock, HeldFiles *held)
{
    if (lock == kReadOnly || lock == kReadOnlyInUse) {
        ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY)) << path;
    }
    if (lock == kHeldOpen || lock == kInUse || lock == kReadOnlyInUse) {
        DWORD share = lock == kHeldOpen ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_DELETE;
        HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, share, NULL, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << path;
        held->handles.push_back(handle);
    }
}

std::string ProbeLibraryPath()
{
    char exe[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, exe, MAX_PATH);
    std::string path(exe, length);
    return path.substr(0, path.find_last_of('\\') + 1) + PROBE_LIBRARY_NAME;
}

// Without the leftovers, which the next sweep removes once nothing holds them.
TreeSnapshot WithoutLeftovers(TreeSnapshot tree)
{
    for (auto at = tree.begin(); at != tree.end();)
        at = at->first.size() > 4 && at->first.substr(at->first.size() - 4) == ".old"
                 ? tree.erase(at)
                 : std::next(at);
    return tree;
}

// Counts the renames that took the watched name away: a target set aside and
// put back leaves the same files behind as one never touched.
std::string g_watched;
int g_watched_moves = 0;
BOOL(WINAPI *g_real_move)(LPCSTR, LPCSTR, DWORD) = nullptr;

BOOL WINAPI CountingMoveFileExA(LPCSTR from, LPCSTR to, DWORD flags)
{
    BOOL moved = g_real_move(from, to, flags);
    DWORD error = GetLastError();
    if (moved && lstrcmpiA(from, g_watched.c_str()) == 0)
        g_watched_moves++;
    SetLastError(error);
    return moved;
}

TEST(ReplaceInstalledFile, ReplacesOrSetsAsideTheTargetAndNeverLosesIt)
{
    const std::string target = "game\\core.dat", leftover = "game\\core.dat.old";
    const struct {
        const char *name;
        const char *installed; // null: no installed file
        Lock installed_lock;
        const char *stale; // null: no leftover of an earlier run
        Lock stale_lock;
        bool source_present;
        std::string target;
        int result;
        TreeSnapshot after;
        std::string installed_at = std::string(); // empty: at the target
        Lock source_lock = kFree;
    } cases[] = {
        {"target missing", nullptr, kFree, nullptr, kFree, true, target, 1,
         {{"game\\", ""}, {target, kNew}}},
        {"free target, no leftover made", kOld, kFree, nullptr, kFree, true, target, 1,
         {{"game\\", ""}, {target, kNew}}},
        // Windows refuses to rename over a read-only file and sets it aside.
        {"read-only target renamed over", kOld, kReadOnly, nullptr, kFree, true, target, 1,
         {{"game\\", ""}, {target, kNew}}},
        {"target held open", kOld, kHeldOpen, nullptr, kFree, true, target, 0,
         {{"src.tmp", kNew}, {"game\\", ""}, {target, kOld}}},
        // A delete is only pending while such a handle is open: deleting first,
        // then failing to move in, lost the file when the handle closed.
        {"target in use set aside", kOld, kInUse, nullptr, kFree, true, target, 1,
         {{"game\\", ""}, {target, kNew}, {leftover, kOld}}},
        {"read-only target in use set aside", kOld, kReadOnlyInUse, nullptr, kFree, true, target,
         1, {{"game\\", ""}, {target, kNew}, {leftover, kOld}}},
        {"stale leftover replaced", kOld, kInUse, kStale, kFree, true, target, 1,
         {{"game\\", ""}, {target, kNew}, {leftover, kOld}}},
        {"stale leftover read-only", kOld, kInUse, kStale, kReadOnly, true, target, 1,
         {{"game\\", ""}, {target, kNew}, {leftover, kOld}}},
        {"stale leftover held open", kOld, kInUse, kStale, kHeldOpen, true, target, 0,
         {{"src.tmp", kNew}, {"game\\", ""}, {target, kOld}, {leftover, kStale}}},
        // A scanner reading the download fails the move as a target in use
        // does; a target that nobody uses must not be set aside for it.
        {"source held by another program", kOld, kFree, nullptr, kFree, true, target, 0,
         {{"src.tmp", kNew}, {"game\\", ""}, {target, kOld}}, std::string(), kHeldOpen},
        {"source missing", kOld, kInUse, nullptr, kFree, false, target, 0,
         {{"game\\", ""}, {target, kOld}}},
        {"source and target missing", nullptr, kFree, nullptr, kFree, false, target, 0,
         {{"game\\", ""}}},
        {"target folder missing", nullptr, kFree, nullptr, kFree, true, "game\\gone\\core.dat",
         0, {{"src.tmp", kNew}, {"game\\", ""}}},
        // A release that turns a folder into a file: the folder stays whole.
        {"target is a folder", kOld, kFree, nullptr, kFree, true, target, 0,
         {{"src.tmp", kNew}, {"game\\", ""}, {target + "\\", ""}, {target + "\\inner", kOld}},
         target + "\\inner"},
    };
    for (const auto &c : cases) {
        TempFolder temp;
        HeldFiles held;
        CreateDirectoryA(temp.Join("game").c_str(), NULL);
        if (c.source_present)
            Plant(temp.path, "src.tmp", kNew);
        if (c.installed) {
            std::string at = c.installed_at.empty() ? c.target : c.installed_at;
            Plant(temp.path, at, c.installed);
            ApplyLock(temp.Join(at), c.installed_lock, &held);
        }
        if (c.stale) {
            Plant(temp.path, c.target + ".old", c.stale);
            ApplyLock(temp.Join(c.target + ".old"), c.stale_lock, &held);
        }
        if (c.source_present)
            ApplyLock(temp.Join("src.tmp"), c.source_lock, &held);

        g_watched = temp.Join(c.target);
        g_watched_moves = 0;
        int result = 0;
        {
            ImportHook count("kernel32.dll", "MoveFileExA", (void *)CountingMoveFileExA,
                             &g_real_move);
            ASSERT_NE(g_real_move, nullptr);
            result = ReplaceInstalledFile(temp.Join("game").c_str(), temp.Join("src.tmp").c_str(),
                                          g_watched.c_str());
        }
        held.CloseAll();

        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(g_watched_moves, c.after.count(leftover) && c.after.at(leftover) == kOld ? 1 : 0)
            << c.name << ": the target was set aside";
        EXPECT_EQ(SnapshotTree(temp.path), c.after) << c.name;
        DeleteLeftoverOldFiles(temp.Join("game").c_str());
        EXPECT_EQ(SnapshotTree(temp.path), WithoutLeftovers(c.after)) << c.name << ", swept";
    }
}

// Anyone who can write to the game folder can put links there; the elevated
// patcher must not act on what they lead to. The installation folder itself
// is the administrator's choice, and may be a link (a game moved to another
// disk and linked back). Under Wine a link to a file looks like the file
// itself, so the target is never deleted or written, only renamed over,
// which replaces the link.
TEST(ReplaceInstalledFile, ActsThroughTheInstallationFolderButNeverThroughALinkBelowIt)
{
    typedef std::vector<std::pair<std::string, std::string>> Links; // link, what it leads to
    const struct {
        const char *name;
        Links links;
        const char *target; // below game, the installation folder
        int result;
        TreeSnapshot after; // over outside.dat, outside\x and outside\maps\, which stay
    } cases[] = {
        {"link to a file outside", {{"game\\core.dat", "outside.dat"}}, "core.dat", 1,
         {{"game\\", ""}, {"game\\core.dat", kNew}}},
        {"link to a folder outside", {{"game\\core.dat", "outside"}}, "core.dat", 0,
         {{"src.tmp", kNew}, {"game\\", ""}, {"game\\core.dat@", ""}}},
        // A folder on the way turned into a link after it was looked at.
        {"the target's folder a link to a folder outside", {{"game\\core.dat", "outside"}},
         "core.dat\\x", 0, {{"src.tmp", kNew}, {"game\\", ""}, {"game\\core.dat@", ""}}},
        {"a folder above the target's own a link", {{"game\\data", "outside"}}, "data\\maps\\x",
         0, {{"src.tmp", kNew}, {"game\\", ""}, {"game\\data@", ""}}},
        {"the installation folder a link: top-level file", {{"game", "outside"}}, "x", 1,
         {{"game@", ""}, {"outside\\x", kNew}}},
        {"the installation folder a link: nested file", {{"game", "outside"}}, "maps\\x", 1,
         {{"game@", ""}, {"outside\\maps\\x", kNew}}},
        {"the installation folder a link, and a link below it",
         {{"game", "outside"}, {"outside\\linked", "outside\\maps"}}, "linked\\x", 0,
         {{"src.tmp", kNew}, {"game@", ""}, {"outside\\linked@", ""}}},
    };
    for (const auto &c : cases) {
        TempFolder temp;
        if (c.links[0].first != "game")
            CreateDirectoryA(temp.Join("game").c_str(), NULL);
        Plant(temp.path, "src.tmp", kNew);
        Plant(temp.path, "outside.dat", kOld);
        Plant(temp.path, "outside\\x", kOld);
        CreateDirectoryA(temp.Join("outside\\maps").c_str(), NULL);
        TreeSnapshot expected = {{"outside.dat", kOld},
                                 {"outside\\", ""},
                                 {"outside\\x", kOld},
                                 {"outside\\maps\\", ""}};
        for (const auto &entry : c.after)
            expected[entry.first] = entry.second;
        std::vector<std::unique_ptr<UnixSymlink>> links;
        for (const auto &link : c.links) {
            links.emplace_back(new UnixSymlink(temp.Join(link.first), temp.Join(link.second)));
            ASSERT_TRUE(links.back()->made) << c.name;
        }

        std::string base = temp.Join("game");
        EXPECT_EQ(ReplaceInstalledFile(base.c_str(), temp.Join("src.tmp").c_str(),
                                       (base + "\\" + c.target).c_str()),
                  c.result)
            << c.name;
        EXPECT_EQ(SnapshotTree(temp.path), expected) << c.name;
    }
}

// Stand-ins that show every name beginning with "tagged" as a reparse point
// with g_tag, as Windows lists cloud placeholders, deduplicated files and
// links; Wine has only links, and lists them with no real tag.
DWORD g_tag = 0;
DWORD(WINAPI *g_real_attributes)(LPCSTR) = nullptr;
HANDLE(WINAPI *g_real_find_first)(LPCSTR, LPWIN32_FIND_DATAA) = nullptr;
BOOL(WINAPI *g_real_find_next)(HANDLE, LPWIN32_FIND_DATAA) = nullptr;

bool IsTagged(const char *path)
{
    const char *name = path;
    for (const char *p = path; *p != '\0'; p++)
        if (*p == '\\')
            name = p + 1;
    return strncmp(name, "tagged", 6) == 0;
}

DWORD WINAPI TaggedAttributes(LPCSTR path)
{
    DWORD attributes = g_real_attributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && IsTagged(path))
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return attributes;
}

void Tag(LPWIN32_FIND_DATAA entry)
{
    if (IsTagged(entry->cFileName)) {
        entry->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        entry->dwReserved0 = g_tag;
    }
}

HANDLE WINAPI TaggedFindFirst(LPCSTR pattern, LPWIN32_FIND_DATAA entry)
{
    HANDLE listing = g_real_find_first(pattern, entry);
    if (listing != INVALID_HANDLE_VALUE)
        Tag(entry);
    return listing;
}

BOOL WINAPI TaggedFindNext(HANDLE listing, LPWIN32_FIND_DATAA entry)
{
    BOOL found = g_real_find_next(listing, entry);
    if (found)
        Tag(entry);
    return found;
}

// Only a link is refused; any other reparse point is a file or folder that
// holds its own data, and is replaced, made into or swept like any other.
TEST(ReplaceInstalledFile, RefusesReparsePointsThatAreLinksOnly)
{
    const struct {
        const char *name;
        DWORD tag;
        bool link;
    } cases[] = {
        {"symbolic link", IO_REPARSE_TAG_SYMLINK, true},
        {"junction or mount point", IO_REPARSE_TAG_MOUNT_POINT, true},
        {"another vendor's tag", 0x00000011, true},
        {"cloud placeholder", 0x9000601A, false}, // IO_REPARSE_TAG_CLOUD_6
        {"deduplicated file", IO_REPARSE_TAG_DEDUP, false},
        {"compressed system file", 0x80000017, false}, // IO_REPARSE_TAG_WOF
    };
    for (const auto &c : cases) {
        TempFolder temp;
        Plant(temp.path, "src.tmp", kNew);
        Plant(temp.path, "tagged.dat", kOld);
        Plant(temp.path, "tagged.dat.old", kStale);
        Plant(temp.path, "tagged\\x.old", kStale);
        g_tag = c.tag;
        int replaced = 0, folders = 0;
        {
            ImportHook attributes("kernel32.dll", "GetFileAttributesA", (void *)TaggedAttributes,
                                  &g_real_attributes);
            ImportHook first("kernel32.dll", "FindFirstFileA", (void *)TaggedFindFirst,
                             &g_real_find_first);
            ImportHook next("kernel32.dll", "FindNextFileA", (void *)TaggedFindNext,
                            &g_real_find_next);
            ASSERT_TRUE(g_real_attributes && g_real_find_first && g_real_find_next);
            replaced = ReplaceInstalledFile(temp.path.c_str(), temp.Join("src.tmp").c_str(),
                                            temp.Join("tagged.dat").c_str());
            folders = EnsureParentFolders(temp.path.c_str(), temp.Join("tagged\\in\\f").c_str());
            DeleteLeftoverOldFiles(temp.path.c_str());
        }

        TreeSnapshot expected = {{"tagged\\", ""}};
        if (c.link) {
            expected["src.tmp"] = kNew;
            expected["tagged.dat"] = kOld;
            expected["tagged.dat.old"] = kStale;
            expected["tagged\\x.old"] = kStale;
        } else {
            expected["tagged.dat"] = kNew;
            expected["tagged\\in\\"] = "";
        }
        EXPECT_EQ(replaced, c.link ? 0 : 1) << c.name;
        EXPECT_EQ(folders, c.link ? 0 : 1) << c.name;
        EXPECT_EQ(SnapshotTree(temp.path), expected) << c.name;
    }
}

TEST(ReplaceInstalledFile, RefusesNullPaths)
{
    TempFolder temp;
    Plant(temp.path, "src.tmp", kNew);
    Plant(temp.path, "core.dat", kOld);
    const char *base = temp.path.c_str();
    EXPECT_EQ(ReplaceInstalledFile(base, nullptr, temp.Join("core.dat").c_str()), 0);
    EXPECT_EQ(ReplaceInstalledFile(base, temp.Join("src.tmp").c_str(), nullptr), 0);
    EXPECT_EQ(ReplaceInstalledFile(nullptr, temp.Join("src.tmp").c_str(), temp.Join("core.dat").c_str()),
              0);
    EXPECT_EQ(SnapshotTree(temp.path), (TreeSnapshot{{"src.tmp", kNew}, {"core.dat", kOld}}));
}

// A library in use is set aside; its leftover goes at the first sweep after
// it is unloaded, and not before.
TEST(ReplaceInstalledFile, SetsALoadedLibraryAsideUntilTheSweepAfterItIsUnloaded)
{
    TempFolder temp;
    std::string library;
    ASSERT_TRUE(ReadWholeFile(ProbeLibraryPath(), &library)) << ProbeLibraryPath();
    Plant(temp.path, "core.dll", library);
    Plant(temp.path, "src.tmp", kNew);
    HMODULE module = LoadLibraryA(temp.Join("core.dll").c_str());
    ASSERT_NE(module, nullptr);
    struct Unload {
        HMODULE *module;
        ~Unload()
        {
            if (*module)
                FreeLibrary(*module);
        }
    } unload{&module};

    EXPECT_EQ(ReplaceInstalledFile(temp.path.c_str(), temp.Join("src.tmp").c_str(),
                                   temp.Join("core.dll").c_str()),
              1);
    const TreeSnapshot replaced = {{"core.dll", kNew}, {"core.dll.old", library}};
    EXPECT_TRUE(SnapshotTree(temp.path) == replaced) << "after the replacement";

    DeleteLeftoverOldFiles(temp.path.c_str());
    EXPECT_TRUE(SnapshotTree(temp.path) == replaced) << "swept while loaded";

    FreeLibrary(module);
    module = NULL;
    DeleteLeftoverOldFiles(temp.path.c_str());
    EXPECT_EQ(SnapshotTree(temp.path), (TreeSnapshot{{"core.dll", kNew}}));
}

// Stand-ins for the copy across volumes: a source of any size without the
// disk space, and a disk that fills up or takes less than it was given.
enum CopyFault { kRealCopy, kBigSource, kDiskFull, kShortWrite, kSourceShrank };
CopyFault g_fault = kRealCopy;
ULONGLONG g_source_left = 0;   // bytes the stand-in source still gives
ULONGLONG g_source_claimed = 0; // its size as GetFileSizeEx gives it
ULONGLONG g_written = 0;
const ULONGLONG kBigSize = 0x100000003ull; // past 4 GiB, whatever a 32-bit count holds
const ULONGLONG kDiskRoom = 2 * 1024 * 1024;

BOOL WINAPI FakeGetFileSizeEx(HANDLE, PLARGE_INTEGER size)
{
    size->QuadPart = (LONGLONG)g_source_claimed;
    return TRUE;
}

BOOL WINAPI FakeReadFile(HANDLE, LPVOID, DWORD wanted, LPDWORD got, LPOVERLAPPED)
{
    *got = (DWORD)(g_source_left < wanted ? g_source_left : wanted);
    g_source_left -= *got;
    return TRUE;
}

BOOL WINAPI FakeWriteFile(HANDLE, LPCVOID, DWORD count, LPDWORD written, LPOVERLAPPED)
{
    *written = 0;
    if (g_fault == kDiskFull && g_written + count > kDiskRoom) {
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    *written = g_fault == kShortWrite ? count / 2 : count;
    g_written += *written;
    return TRUE;
}

struct FakeCopyCalls {
    void *size = nullptr, *read = nullptr, *write = nullptr;
    ImportHook size_hook{"kernel32.dll", "GetFileSizeEx", (void *)FakeGetFileSizeEx, &size};
    ImportHook read_hook{"kernel32.dll", "ReadFile", (void *)FakeReadFile, &read};
    ImportHook write_hook{"kernel32.dll", "WriteFile", (void *)FakeWriteFile, &write};
};

TEST(ReplaceInstalledFile, MovesASourceFromAnotherVolume)
{
    MappedDrive drive;
    ASSERT_FALSE(drive.root.empty()) << "no free drive letter could be mapped";
    {
        TempFolder probe;
        if (OnSameFileSystem(drive.folder, probe.path))
            GTEST_SKIP() << drive.folder << " shares the file system of " << probe.path;
    }

    // The copy is made beside the target, then renamed over it: the target
    // never holds a part of the file.
    const std::string staged = "core.dat.new.old";
    const struct {
        const char *name;
        Lock installed_lock;
        bool installed;
        const char *taken; // null: the staging name is free
        int result;
        TreeSnapshot after;
        CopyFault fault = kRealCopy;
    } cases[] = {
        {"target missing", kFree, false, nullptr, 1, {{"core.dat", kNew}}},
        {"free target", kFree, true, nullptr, 1, {{"core.dat", kNew}}},
        {"target in use set aside", kInUse, true, nullptr, 1,
         {{"core.dat", kNew}, {"core.dat.old", kOld}}},
        {"target held open", kHeldOpen, true, nullptr, 0, {{"core.dat", kOld}}},
        {"staging name taken", kFree, true, kStale, 0, {{"core.dat", kOld}, {staged, kStale}}},
        // Written through stand-ins that keep no bytes: the file comes out empty.
        {"source past 4 GiB", kFree, true, nullptr, 1, {{"core.dat", ""}}, kBigSource},
        {"disk full", kFree, true, nullptr, 0, {{"core.dat", kOld}}, kDiskFull},
        {"short write", kFree, true, nullptr, 0, {{"core.dat", kOld}}, kShortWrite},
        {"source shorter than its size", kFree, true, nullptr, 0, {{"core.dat", kOld}},
         kSourceShrank},
    };
    for (const auto &c : cases) {
        TempFolder temp;
        HeldFiles held;
        Plant(drive.folder, "src.tmp", kNew);
        if (c.installed) {
            Plant(temp.path, "core.dat", kOld);
            ApplyLock(temp.Join("core.dat"), c.installed_lock, &held);
        }
        if (c.taken)
            Plant(temp.path, staged, c.taken);

        g_fault = c.fault;
        g_source_left = c.fault == kBigSource ? kBigSize : 3 * kDiskRoom / 2;
        g_source_claimed = g_source_left + (c.fault == kSourceShrank ? 1 : 0);
        g_written = 0;
        std::unique_ptr<FakeCopyCalls> fake;
        if (c.fault != kRealCopy) {
            fake.reset(new FakeCopyCalls);
            ASSERT_TRUE(fake->size && fake->read && fake->write) << c.name;
        }
        std::string source = drive.root + "src.tmp";
        EXPECT_EQ(ReplaceInstalledFile(temp.path.c_str(), source.c_str(), temp.Join("core.dat").c_str()),
                  c.result)
            << c.name;
        fake.reset();
        held.CloseAll();
        if (c.fault == kBigSource) {
            EXPECT_EQ(g_written, kBigSize) << c.name;
        }
        EXPECT_EQ(SnapshotTree(temp.path), c.after) << c.name;
        TreeSnapshot source_left;
        if (c.result == 0)
            source_left["src.tmp"] = kNew;
        EXPECT_EQ(SnapshotTree(drive.folder), source_left) << c.name;
        DeleteFileA(source.c_str());
    }
}

// Whether dacl lets the test's own account read: an entry for it, or for a
// group it belongs to.
bool AclLetsAccountRead(const ACL *dacl)
{
    bool may_read = false;
    for (DWORD i = 0; dacl && i < dacl->AceCount; i++) {
        ACCESS_ALLOWED_ACE *ace = NULL;
        BOOL member = FALSE;
        if (GetAce((PACL)dacl, i, (void **)&ace) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            CheckTokenMembership(NULL, &ace->SidStart, &member) && member &&
            (ace->Mask & (FILE_READ_DATA | GENERIC_READ | GENERIC_ALL)))
            may_read = true;
    }
    return may_read;
}

// Whether the DACL of path lets the test's own account read the file.
bool AccountMayRead(const std::string &path)
{
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL,
                              &dacl, NULL, &descriptor) != ERROR_SUCCESS)
        return false;
    bool may_read = AclLetsAccountRead(dacl);
    LocalFree(descriptor);
    return may_read;
}

// Windows gives a file that takes an empty, unprotected list the entries its
// folder hands down to files; Wine keeps a Unix mode instead. These stand-ins
// keep the file's list as Windows does in a folder that hands nothing down
// to files: the list set is the list the file has.
std::vector<BYTE> g_file_acl;

DWORD WINAPI SetSecurityNothingHandedDown(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID,
                                          PSID, PACL dacl, PACL)
{
    g_file_acl.assign((BYTE *)dacl, (BYTE *)dacl + dacl->AclSize);
    return ERROR_SUCCESS;
}

DWORD WINAPI GetSecurityNothingHandedDown(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID *,
                                          PSID *, PACL *dacl, PACL *,
                                          PSECURITY_DESCRIPTOR *descriptor)
{
    BYTE *copy = (BYTE *)LocalAlloc(LMEM_FIXED, g_file_acl.size());
    if (!copy)
        return ERROR_NOT_ENOUGH_MEMORY;
    CopyMemory(copy, g_file_acl.data(), g_file_acl.size());
    *dacl = (PACL)copy;
    *descriptor = copy;
    return ERROR_SUCCESS;
}

struct NothingHandedDown {
    void *set = nullptr, *get = nullptr;
    ImportHook set_hook{"advapi32.dll", "SetSecurityInfo", (void *)SetSecurityNothingHandedDown,
                        &set};
    ImportHook get_hook{"advapi32.dll", "GetSecurityInfo", (void *)GetSecurityNothingHandedDown,
                        &get};
};

// The download is made in the elevated account's temporary folder, and a
// rename keeps the permissions it got there: the player's account could not
// read the updated file. Wine keeps a file's permissions as its Unix mode.
// A folder may hand nothing down to files: the file then gets what the
// token gives a file made there, not an empty list that lets nobody read it.
TEST(ReplaceInstalledFile, AMovedFileTakesThePermissionsOfItsFolder)
{
    TempFolder temp;
    ASSERT_TRUE(CreateDirectoryA(temp.Join("game").c_str(), NULL));
    PSECURITY_DESCRIPTOR system_only = NULL;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        "D:P(A;;FA;;;SY)", SDDL_REVISION_1, &system_only, NULL));
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), system_only, FALSE};
    for (const char *name : {"src.tmp", "src2.tmp"}) {
        HANDLE file = CreateFileA(temp.Join(name).c_str(), GENERIC_WRITE, 0, &attributes,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        CloseHandle(file);
    }
    LocalFree(system_only);
    ASSERT_FALSE(AccountMayRead(temp.Join("src.tmp"))) << "the permissions were not kept";

    EXPECT_EQ(ReplaceInstalledFile(temp.path.c_str(), temp.Join("src.tmp").c_str(),
                                   temp.Join("game\\core.dat").c_str()),
              1);
    EXPECT_TRUE(AccountMayRead(temp.Join("game\\core.dat")));

    // A folder may hand nothing down to files: the file then gets what the
    // token gives a file made there, not an empty list that lets nobody in.
    g_file_acl.clear();
    {
        NothingHandedDown windows;
        ASSERT_TRUE(windows.set && windows.get);
        EXPECT_EQ(ReplaceInstalledFile(temp.path.c_str(), temp.Join("src2.tmp").c_str(),
                                       temp.Join("game\\other.dat").c_str()),
                  1);
    }
    ASSERT_FALSE(g_file_acl.empty()) << "no list was set";
    EXPECT_TRUE(AclLetsAccountRead((const ACL *)g_file_acl.data())) << "nothing handed down";
}

// Wine's "A" file functions stop at MAX_PATH, as Windows does for programs
// that are not long-path aware. These stand-ins pass the calls on to the "W"
// functions, as a long-path aware system would, so that the length limit of
// the leftover name is tried on real files.
DWORD WINAPI GetFileAttributesLongA(LPCSTR path)
{
    return GetFileAttributesW(WidePath(path).c_str());
}

BOOL WINAPI MoveFileExLongA(LPCSTR from, LPCSTR to, DWORD flags)
{
    return MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(), flags);
}

HANDLE WINAPI CreateFileLongA(LPCSTR path, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                              HANDLE model)
{
    return CreateFileW(WidePath(path).c_str(), access, share, security, disposition, flags, model);
}

struct LongPathCalls {
    void *attributes = nullptr, *move_file = nullptr, *create_file = nullptr;
    ImportHook attributes_hook{"kernel32.dll", "GetFileAttributesA",
                               (void *)GetFileAttributesLongA, &attributes};
    ImportHook move_hook{"kernel32.dll", "MoveFileExA", (void *)MoveFileExLongA, &move_file};
    ImportHook create_hook{"kernel32.dll", "CreateFileA", (void *)CreateFileLongA, &create_file};
};

TEST(ReplaceInstalledFile, SetsAsideTargetsOfUpTo515Characters)
{
    const std::string outer(200, 'd'), inner(200, 'e');
    const struct {
        const char *name;
        size_t length;
        bool long_paths;
        int result;
    } cases[] = {
        {"515 characters", 515, true, 1},
        {"516 characters", 516, true, 0},
        {"515 characters, MAX_PATH limit of the A functions", 515, false, 0},
    };
    for (const auto &c : cases) {
        TempFolder temp;
        std::string folders = outer + "\\" + inner;
        std::string prefix = temp.path + "\\" + folders + "\\";
        ASSERT_LT(prefix.size() + 1, c.length) << c.name;
        std::string name(c.length - prefix.size(), 'f');
        std::string target = prefix + name;
        struct Cleanup {
            std::string folder;
            ~Cleanup() { RemoveLongTree(folder); }
        } cleanup{temp.Join(outer)};
        ASSERT_TRUE(CreateDirectoryW(WidePath(temp.Join(outer)).c_str(), NULL));
        ASSERT_TRUE(CreateDirectoryW(WidePath(temp.Join(folders)).c_str(), NULL));
        // Held in use, so that it has to be set aside.
        HeldFiles held;
        HANDLE file = CreateFileW(WidePath(target).c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_DELETE, NULL, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << c.name;
        held.handles.push_back(file);
        DWORD written = 0;
        WriteFile(file, kOld, sizeof(kOld) - 1, &written, NULL);
        Plant(temp.path, "src.tmp", kNew);

        std::unique_ptr<LongPathCalls> calls;
        if (c.long_paths) {
            calls.reset(new LongPathCalls);
            ASSERT_TRUE(calls->attributes && calls->move_file && calls->create_file);
        }
        int result =
            ReplaceInstalledFile(temp.path.c_str(), temp.Join("src.tmp").c_str(), target.c_str());
        calls.reset();
        held.CloseAll();

        TreeSnapshot after = {{outer + "\\", ""}, {folders + "\\", ""}};
        if (result == 1) {
            after[folders + "\\" + name] = kNew;
            after[folders + "\\" + name + ".old"] = kOld;
        } else {
            after[folders + "\\" + name] = kOld;
            after["src.tmp"] = kNew;
        }
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(SnapshotTree(temp.path), after) << c.name;
    }
}

TEST(DeleteLeftoverOldFiles, DeletesOldFilesAtEveryDepthAndKeepsEverythingElse)
{
    const struct {
        const char *path;
        bool swept;
    } files[] = {
        {"readme.old", true},
        {"PATCH.OLD", true},
        {".old", true},
        {"Mixed.Old", true},
        {"old", false},
        {"xold", false},
        {"x.old.bak", false},
        {"x.olde", false},
        {"readme.txt", false},
        {"backup.old\\inner.old", true},
        {"backup.old\\inner.txt", false},
        {"a\\mid.OLD", true},
        {"a\\b\\c\\d\\e\\f\\deep.old", true},
        {"a\\b\\c\\d\\e\\f\\deep.txt", false},
        {".cache\\x.old", true},
    };
    TempFolder temp;
    TreeSnapshot expected;
    for (const auto &f : files) {
        Plant(temp.path, f.path, f.path);
        if (!f.swept)
            expected[f.path] = f.path;
    }
    CreateDirectoryA(temp.Join("empty.old").c_str(), NULL);
    for (const char *folder : {"backup.old\\", "a\\", "a\\b\\", "a\\b\\c\\", "a\\b\\c\\d\\",
                               "a\\b\\c\\d\\e\\", "a\\b\\c\\d\\e\\f\\", ".cache\\", "empty.old\\"})
        expected[folder] = "";

    DeleteLeftoverOldFiles(temp.path.c_str());

    EXPECT_EQ(SnapshotTree(temp.path), expected);
}

TEST(DeleteLeftoverOldFiles, LeavesLeftoversItCannotDeleteAndGoesOn)
{
    TempFolder temp;
    HeldFiles held;
    for (const char *path : {"a.old", "busy.old", "locked.old", "m.old", "z.old", "sub\\y.old",
                             "sub\\busy.old", "zz\\x.old"})
        Plant(temp.path, path, path);
    ApplyLock(temp.Join("busy.old"), kHeldOpen, &held);
    ApplyLock(temp.Join("sub\\busy.old"), kHeldOpen, &held);
    ApplyLock(temp.Join("locked.old"), kReadOnly, &held);

    DeleteLeftoverOldFiles(temp.path.c_str());
    held.CloseAll();

    // A read-only leftover (locked.old) is made writable and deleted.
    EXPECT_EQ(SnapshotTree(temp.path), (TreeSnapshot{{"busy.old", "busy.old"},
                                                     {"sub\\", ""},
                                                     {"sub\\busy.old", "sub\\busy.old"},
                                                     {"zz\\", ""}}));
}

TEST(DeleteLeftoverOldFiles, IgnoresAMissingFolderAFileAnEmptyPathAndNull)
{
    TempFolder temp;
    Plant(temp.path, "x.old", "x");
    // An empty path must not be taken for the current folder.
    char previous[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryA(MAX_PATH, previous), 0u);
    ASSERT_TRUE(SetCurrentDirectoryA(temp.path.c_str()));
    struct Restore {
        const char *folder;
        ~Restore() { SetCurrentDirectoryA(folder); }
    } restore{previous};

    DeleteLeftoverOldFiles(temp.Join("missing").c_str());
    DeleteLeftoverOldFiles(temp.Join("x.old").c_str());
    DeleteLeftoverOldFiles("");
    DeleteLeftoverOldFiles(nullptr);

    EXPECT_EQ(SnapshotTree(temp.path), (TreeSnapshot{{"x.old", "x"}}));
}

// Anyone who can write to the game folder could link it to another folder:
// the elevated sweep must stay inside the tree it was given.
TEST(DeleteLeftoverOldFiles, DoesNotFollowLinksToFoldersOutsideTheTree)
{
    TempFolder temp;
    Plant(temp.path, "outside\\keep.old", "keep");
    Plant(temp.path, "outside\\deeper\\keep.old", "deeper");
    Plant(temp.path, "game\\gone.old", "gone");
    UnixSymlink link(temp.Join("game\\link"), temp.Join("outside"));
    UnixSymlink named_old(temp.Join("game\\saves.old"), temp.Join("outside"));
    ASSERT_TRUE(link.made && named_old.made);
    const DWORD kLinkedFolder = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    ASSERT_EQ(GetFileAttributesA(temp.Join("game\\link").c_str()) & kLinkedFolder, kLinkedFolder);

    DeleteLeftoverOldFiles(temp.Join("game").c_str());

    EXPECT_EQ(SnapshotTree(temp.path), (TreeSnapshot{{"game\\", ""},
                                                     {"game\\link@", ""},
                                                     {"game\\saves.old@", ""},
                                                     {"outside\\", ""},
                                                     {"outside\\keep.old", "keep"},
                                                     {"outside\\deeper\\", ""},
                                                     {"outside\\deeper\\keep.old", "deeper"}}));
}

// A drive's root folder lists no "." and ".." entries.
TEST(DeleteLeftoverOldFiles, SweepsTheRootOfADrive)
{
    MappedDrive drive;
    ASSERT_FALSE(drive.root.empty()) << "no free drive letter could be mapped";
    for (const char *path : {"a.old", "keep.txt", "sub\\b.OLD", "sub\\c.txt"})
        Plant(drive.folder, path, path);

    DeleteLeftoverOldFiles(drive.root.c_str());

    EXPECT_EQ(SnapshotTree(drive.folder), (TreeSnapshot{{"keep.txt", "keep.txt"},
                                                        {"sub\\", ""},
                                                        {"sub\\c.txt", "sub\\c.txt"}}));
}

} // namespace
