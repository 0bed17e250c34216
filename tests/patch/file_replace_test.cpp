#include "patch/file_replace.h"

#include "patch/held_files.h"
#include "patch/install_paths.h"

#include "support/file_tree.h"
#include "support/iat_patch.h"
#include "support/nt_file_hook.h"
#include "support/temp_folder.h"
#include "support/unix_host.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winternl.h>

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

// ReplaceInstalledFile as a run calls it: the installation folder base
// held, the target's folders held from it, the source opened as a staged
// download is (shared with nobody), and let go again.
int Replace(const char *base, const char *source, const char *target)
{
    if (!base || !source || !target)
        return 0;
    std::string relative = target;
    std::string prefix = std::string(base) + "\\";
    if (relative.compare(0, prefix.size(), prefix) != 0)
        return 0;
    relative = relative.substr(prefix.size());
    HANDLE install = HoldInstallationFolder(base);
    HANDLE staged = CreateFileW(WidePath(source).c_str(),
                                GENERIC_READ | DELETE | READ_CONTROL | WRITE_DAC, 0, NULL,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    HeldFolders held;
    held.count = 0;
    int replaced = 0;
    if (install != INVALID_HANDLE_VALUE && staged != INVALID_HANDLE_VALUE &&
        HoldFoldersBelow(install, relative.c_str(), 0, &held))
        replaced = ReplaceInstalledFile(TargetFolder(install, &held), staged,
                                        TargetName(relative.c_str()));
    ReleaseFolders(&held);
    if (staged != INVALID_HANDLE_VALUE)
        CloseHandle(staged);
    if (install != INVALID_HANDLE_VALUE)
        CloseHandle(install);
    return replaced;
}

// The sweep as a run makes it, from the folder held.
void Sweep(const char *folder)
{
    HANDLE held = HoldInstallationFolder(folder);
    DeleteLeftoverOldFiles(held);
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
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

        // A target that nobody uses is never set aside: a target set aside
        // and put back leaves the same files behind as one never touched.
        int set_aside = 0;
        int result = 0;
        {
            NtFileHook count([&](NtFileCall call, const std::wstring &name) -> NTSTATUS {
                set_aside += call == kNtRename && NarrowName(name) == "core.dat.old";
                return 0;
            });
            ASSERT_TRUE(count.hooked);
            result = Replace(temp.Join("game").c_str(), temp.Join("src.tmp").c_str(),
                             temp.Join(c.target).c_str());
        }
        held.CloseAll();

        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(set_aside,
                  c.source_present &&
                          (c.installed_lock == kInUse || c.installed_lock == kReadOnlyInUse)
                      ? 1
                      : 0)
            << c.name << ": the target was set aside";
        EXPECT_EQ(SnapshotTree(temp.path), c.after) << c.name;
        Sweep(temp.Join("game").c_str());
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
        EXPECT_EQ(Replace(base.c_str(), temp.Join("src.tmp").c_str(),
                                       (base + "\\" + c.target).c_str()),
                  c.result)
            << c.name;
        EXPECT_EQ(SnapshotTree(temp.path), expected) << c.name;
    }
}

// Stand-ins that show every name beginning with "tagged" as a reparse point
// with g_tag, through its handle and as its folder lists it, as Windows shows
// cloud placeholders, deduplicated files and links; Wine has only links, and
// shows no tag.
DWORD g_tag = 0;
NTSTATUS(NTAPI *g_real_query)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                              FILE_INFORMATION_CLASS, BOOLEAN, PUNICODE_STRING,
                              BOOLEAN) = nullptr;
BOOL(WINAPI *g_real_information)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD) = nullptr;

bool IsTagged(const WCHAR *name, size_t length)
{
    size_t start = 0;
    for (size_t i = 0; i < length; i++)
        if (name[i] == L'\\')
            start = i + 1;
    return length - start >= 6 && wcsncmp(name + start, L"tagged", 6) == 0;
}

void TagListing(BYTE *buffer)
{
    for (FILE_ID_BOTH_DIR_INFO *entry = (FILE_ID_BOTH_DIR_INFO *)buffer;;
         entry = (FILE_ID_BOTH_DIR_INFO *)((BYTE *)entry + entry->NextEntryOffset)) {
        if (IsTagged(entry->FileName, entry->FileNameLength / sizeof(WCHAR))) {
            entry->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
            entry->EaSize = g_tag;
        }
        if (entry->NextEntryOffset == 0)
            break;
    }
}

NTSTATUS NTAPI TaggedQuery(HANDLE file, HANDLE event, PVOID routine, PVOID context,
                           PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                           FILE_INFORMATION_CLASS kind, BOOLEAN single, PUNICODE_STRING name,
                           BOOLEAN restart)
{
    NTSTATUS status =
        g_real_query(file, event, routine, context, io, buffer, length, kind, single, name, restart);
    if (status >= 0 && kind == FileIdBothDirectoryInformation)
        TagListing((BYTE *)buffer);
    return status;
}

BOOL WINAPI TaggedInformation(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID buffer,
                              DWORD size)
{
    BOOL got = g_real_information(file, kind, buffer, size);
    if (got && (kind == FileIdBothDirectoryInfo || kind == FileIdBothDirectoryRestartInfo))
        TagListing((BYTE *)buffer);
    WCHAR path[MAX_PATH];
    DWORD length = GetFinalPathNameByHandleW(file, path, MAX_PATH, 0);
    if (got && kind == FileAttributeTagInfo && length > 0 && length < MAX_PATH &&
        IsTagged(path, length)) {
        FILE_ATTRIBUTE_TAG_INFO *tag = (FILE_ATTRIBUTE_TAG_INFO *)buffer;
        tag->FileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        tag->ReparseTag = g_tag;
    }
    return got;
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
        Plant(temp.path, "tagged\\x", kOld);
        g_tag = c.tag;
        int replaced = 0, folders = 0;
        {
            ImportHook query("ntdll.dll", "NtQueryDirectoryFile", (void *)TaggedQuery,
                             &g_real_query);
            ImportHook information("kernel32.dll", "GetFileInformationByHandleEx",
                                   (void *)TaggedInformation, &g_real_information);
            ASSERT_TRUE(g_real_query && g_real_information);
            replaced = Replace(temp.path.c_str(), temp.Join("src.tmp").c_str(),
                                            temp.Join("tagged.dat").c_str());
            HANDLE install = HoldInstallationFolder(temp.path.c_str());
            HeldFolders held;
            folders = HoldFoldersBelow(install, "tagged\\in\\f", 1, &held);
            ReleaseFolders(&held);
            CloseHandle(install);
            Sweep(temp.path.c_str());
        }

        TreeSnapshot expected = {{"tagged\\", ""}, {"tagged\\x", kOld}};
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
    EXPECT_EQ(Replace(base, nullptr, temp.Join("core.dat").c_str()), 0);
    EXPECT_EQ(Replace(base, temp.Join("src.tmp").c_str(), nullptr), 0);
    EXPECT_EQ(Replace(nullptr, temp.Join("src.tmp").c_str(), temp.Join("core.dat").c_str()),
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

    EXPECT_EQ(Replace(temp.path.c_str(), temp.Join("src.tmp").c_str(),
                                   temp.Join("core.dll").c_str()),
              1);
    const TreeSnapshot replaced = {{"core.dll", kNew}, {"core.dll.old", library}};
    EXPECT_TRUE(SnapshotTree(temp.path) == replaced) << "after the replacement";

    Sweep(temp.path.c_str());
    EXPECT_TRUE(SnapshotTree(temp.path) == replaced) << "swept while loaded";

    FreeLibrary(module);
    module = NULL;
    Sweep(temp.path.c_str());
    EXPECT_EQ(SnapshotTree(temp.path), (TreeSnapshot{{"core.dll", kNew}}));
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

    EXPECT_EQ(Replace(temp.path.c_str(), temp.Join("src.tmp").c_str(),
                                   temp.Join("game\\core.dat").c_str()),
              1);
    EXPECT_TRUE(AccountMayRead(temp.Join("game\\core.dat")));

    // A folder may hand nothing down to files: the file then gets what the
    // token gives a file made there, not an empty list that lets nobody in.
    g_file_acl.clear();
    {
        NothingHandedDown windows;
        ASSERT_TRUE(windows.set && windows.get);
        EXPECT_EQ(Replace(temp.path.c_str(), temp.Join("src2.tmp").c_str(),
                                       temp.Join("game\\other.dat").c_str()),
                  1);
    }
    ASSERT_FALSE(g_file_acl.empty()) << "no list was set";
    EXPECT_TRUE(AclLetsAccountRead((const ACL *)g_file_acl.data())) << "nothing handed down";
}

// A file set aside for a move in that then fails goes back through its own
// handle, over whatever took its name meanwhile. (Wine renames a handle by
// the name it was opened under, so a link put at the set-aside name itself
// cannot be shown here: Windows moves the file the handle holds.)
TEST(ReplaceInstalledFile, ASetAsideFileGoesBackThroughItsOwnHandle)
{
    TempFolder temp;
    HeldFiles held;
    Plant(temp.path, "src.tmp", kNew);
    Plant(temp.path, "game\\core.dat", kOld);
    ApplyLock(temp.Join("game\\core.dat"), kInUse, &held);
    int moves_in = 0;
    int result = 0;
    {
        NtFileHook hook([&](NtFileCall call, const std::wstring &name) -> NTSTATUS {
            if (call != kNtRename || NarrowName(name) != "core.dat" || ++moves_in != 2)
                return 0;
            // Between the set-aside and the move in: another program takes
            // the name, and the move in fails.
            WriteWholeFile(temp.Join("game\\core.dat"), "planted");
            return (NTSTATUS)0xC0000022; // STATUS_ACCESS_DENIED
        });
        ASSERT_TRUE(hook.hooked);
        result = Replace(temp.Join("game").c_str(), temp.Join("src.tmp").c_str(),
                         temp.Join("game\\core.dat").c_str());
    }
    held.CloseAll();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(moves_in, 3) << "moved in, moved in after the set-aside, put back";
    EXPECT_EQ(SnapshotTree(temp.path),
              (TreeSnapshot{{"src.tmp", kNew}, {"game\\", ""}, {"game\\core.dat", kOld}}));
}

TEST(DeleteLeftoverOldFiles, DeletesOldFilesAtEveryDepthAndKeepsEverythingElse)
{
    enum Outcome {
        kKept,
        kSwept,      // deleted: its own name holds the installed file
        kSweptAlone, // deleted with its own name free: a staged copy, or no name
        kPutBack,    // its own name is free: it is the installed file
    };
    const struct {
        const char *path;
        Outcome outcome;
    } files[] = {
        {"readme.old", kSwept},
        {"PATCH.OLD", kPutBack},
        {".old", kSweptAlone},
        {"Mixed.Old", kSwept},
        {"old", kKept},
        {"xold", kKept},
        {"x.old.bak", kKept},
        {"x.olde", kKept},
        {"readme.txt", kKept},
        {"release.txt.new.old", kSweptAlone},
        {"backup.old\\inner.old", kSwept},
        {"backup.old\\inner.txt", kKept},
        {"a\\mid.OLD", kPutBack},
        {"a\\b\\c\\d\\e\\f\\deep.old", kSwept},
        {"a\\b\\c\\d\\e\\f\\deep.txt", kKept},
        {".cache\\x.old", kSwept},
    };
    TempFolder temp;
    TreeSnapshot expected;
    for (const auto &f : files) {
        Plant(temp.path, f.path, f.path);
        if (f.outcome == kKept) {
            expected[f.path] = f.path;
            continue;
        }
        std::string own = std::string(f.path, strlen(f.path) - 4);
        if (f.outcome == kSwept) {
            Plant(temp.path, own, "installed");
            expected[own] = "installed";
        }
        if (f.outcome == kPutBack)
            expected[own] = f.path;
    }
    CreateDirectoryA(temp.Join("empty.old").c_str(), NULL);
    for (const char *folder : {"backup.old\\", "a\\", "a\\b\\", "a\\b\\c\\", "a\\b\\c\\d\\",
                               "a\\b\\c\\d\\e\\", "a\\b\\c\\d\\e\\f\\", ".cache\\", "empty.old\\"})
        expected[folder] = "";

    Sweep(temp.path.c_str());

    EXPECT_EQ(SnapshotTree(temp.path), expected);
}

TEST(DeleteLeftoverOldFiles, LeavesLeftoversItCannotDeleteAndGoesOn)
{
    TempFolder temp;
    HeldFiles held;
    TreeSnapshot expected = {{"busy.old", "busy.old"}, {"sub\\", ""},
                             {"sub\\busy.old", "sub\\busy.old"}, {"zz\\", ""}};
    for (std::string path : {"a.old", "busy.old", "locked.old", "m.old", "z.old", "sub\\y.old",
                             "sub\\busy.old", "zz\\x.old"}) {
        Plant(temp.path, path, path);
        std::string own = path.substr(0, path.size() - 4); // holds the installed file
        Plant(temp.path, own, "installed");
        expected[own] = "installed";
    }
    ApplyLock(temp.Join("busy.old"), kHeldOpen, &held);
    ApplyLock(temp.Join("sub\\busy.old"), kHeldOpen, &held);
    ApplyLock(temp.Join("locked.old"), kReadOnly, &held);

    Sweep(temp.path.c_str());
    held.CloseAll();

    // A read-only leftover (locked.old) is made writable and deleted.
    EXPECT_EQ(SnapshotTree(temp.path), expected);
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

    Sweep(temp.Join("missing").c_str());
    Sweep(temp.Join("x.old").c_str());
    Sweep("");
    Sweep(nullptr);

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

    Sweep(temp.Join("game").c_str());

    EXPECT_EQ(SnapshotTree(temp.path), (TreeSnapshot{{"game\\", ""},
                                                     {"game\\gone", "gone"}, // its name was free
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

    Sweep(drive.root.c_str());

    // Their own names were free: both go back to them.
    EXPECT_EQ(SnapshotTree(drive.folder), (TreeSnapshot{{"a", "a.old"},
                                                        {"keep.txt", "keep.txt"},
                                                        {"sub\\", ""},
                                                        {"sub\\b", "sub\\b.OLD"},
                                                        {"sub\\c.txt", "sub\\c.txt"}}));
}

} // namespace
