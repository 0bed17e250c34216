#include "patch/file_replace.h"

#include "support/file_tree.h"
#include "support/iat_patch.h"
#include "support/temp_folder.h"
#include "support/unix_host.h"

#include <gtest/gtest.h>

#include <windows.h>

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
    kReadOnly, // DeleteFileA: access denied; MoveFileA still renames it
    kHeldOpen, // open without FILE_SHARE_DELETE: neither delete nor rename
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
    if (lock == kReadOnly) {
        ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY)) << path;
    } else if (lock == kHeldOpen) {
        HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
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

TEST(ReplaceInstalledFile, DeletesOrSetsAsideTheTargetAndNeverLosesIt)
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
    } cases[] = {
        {"target missing", nullptr, kFree, nullptr, kFree, true, target, 1,
         {{"game\\", ""}, {target, kNew}}},
        {"deletable target, no leftover made", kOld, kFree, nullptr, kFree, true, target, 1,
         {{"game\\", ""}, {target, kNew}}},
        {"read-only target set aside", kOld, kReadOnly, nullptr, kFree, true, target, 1,
         {{"game\\", ""}, {target, kNew}, {leftover, kOld}}},
        {"target held open", kOld, kHeldOpen, nullptr, kFree, true, target, 0,
         {{"src.tmp", kNew}, {"game\\", ""}, {target, kOld}}},
        {"stale leftover removed first", kOld, kReadOnly, kStale, kFree, true, target, 1,
         {{"game\\", ""}, {target, kNew}, {leftover, kOld}}},
        {"stale leftover read-only", kOld, kReadOnly, kStale, kReadOnly, true, target, 0,
         {{"src.tmp", kNew}, {"game\\", ""}, {target, kOld}, {leftover, kStale}}},
        {"stale leftover held open", kOld, kReadOnly, kStale, kHeldOpen, true, target, 0,
         {{"src.tmp", kNew}, {"game\\", ""}, {target, kOld}, {leftover, kStale}}},
        {"source missing: set-aside target put back", kOld, kReadOnly, nullptr, kFree, false,
         target, 0, {{"game\\", ""}, {target, kOld}}},
        {"source and target missing", nullptr, kFree, nullptr, kFree, false, target, 0,
         {{"game\\", ""}}},
        {"target folder missing", nullptr, kFree, nullptr, kFree, true, "game\\gone\\core.dat",
         0, {{"src.tmp", kNew}, {"game\\", ""}}},
    };
    for (const auto &c : cases) {
        TempFolder temp;
        HeldFiles held;
        CreateDirectoryA(temp.Join("game").c_str(), NULL);
        if (c.source_present)
            Plant(temp.path, "src.tmp", kNew);
        if (c.installed) {
            Plant(temp.path, c.target, c.installed);
            ApplyLock(temp.Join(c.target), c.installed_lock, &held);
        }
        if (c.stale) {
            Plant(temp.path, c.target + ".old", c.stale);
            ApplyLock(temp.Join(c.target + ".old"), c.stale_lock, &held);
        }

        int result =
            ReplaceInstalledFile(temp.Join("src.tmp").c_str(), temp.Join(c.target).c_str());
        held.CloseAll();

        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(SnapshotTree(temp.path), c.after) << c.name;
    }
}

TEST(ReplaceInstalledFile, RefusesNullPaths)
{
    TempFolder temp;
    Plant(temp.path, "src.tmp", kNew);
    Plant(temp.path, "core.dat", kOld);
    EXPECT_EQ(ReplaceInstalledFile(nullptr, temp.Join("core.dat").c_str()), 0);
    EXPECT_EQ(ReplaceInstalledFile(temp.Join("src.tmp").c_str(), nullptr), 0);
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

    EXPECT_EQ(ReplaceInstalledFile(temp.Join("src.tmp").c_str(), temp.Join("core.dll").c_str()), 1);
    const TreeSnapshot replaced = {{"core.dll", kNew}, {"core.dll.old", library}};
    EXPECT_TRUE(SnapshotTree(temp.path) == replaced) << "after the replacement";

    DeleteLeftoverOldFiles(temp.path.c_str());
    EXPECT_TRUE(SnapshotTree(temp.path) == replaced) << "swept while loaded";

    FreeLibrary(module);
    module = NULL;
    DeleteLeftoverOldFiles(temp.path.c_str());
    EXPECT_EQ(SnapshotTree(temp.path), (TreeSnapshot{{"core.dll", kNew}}));
}

TEST(ReplaceInstalledFile, MovesASourceFromAnotherVolume)
{
    MappedDrive drive;
    ASSERT_FALSE(drive.root.empty()) << "no free drive letter could be mapped";
    {
        TempFolder probe;
        if (OnSameFileSystem(drive.folder, probe.path))
            GTEST_SKIP() << drive.folder << " shares the file system of " << probe.path;
    }

    const struct {
        const char *name;
        Lock installed_lock;
        bool installed;
        TreeSnapshot after;
    } cases[] = {
        {"target missing", kFree, false, {{"core.dat", kNew}}},
        {"deletable target", kFree, true, {{"core.dat", kNew}}},
        {"read-only target set aside", kReadOnly, true,
         {{"core.dat", kNew}, {"core.dat.old", kOld}}},
    };
    for (const auto &c : cases) {
        TempFolder temp;
        HeldFiles held;
        Plant(drive.folder, "src.tmp", kNew);
        if (c.installed) {
            Plant(temp.path, "core.dat", kOld);
            ApplyLock(temp.Join("core.dat"), c.installed_lock, &held);
        }

        std::string source = drive.root + "src.tmp";
        EXPECT_EQ(ReplaceInstalledFile(source.c_str(), temp.Join("core.dat").c_str()), 1) << c.name;
        EXPECT_EQ(SnapshotTree(temp.path), c.after) << c.name;
        EXPECT_EQ(SnapshotTree(drive.folder), TreeSnapshot()) << c.name << ": source left behind";
    }
}

// Wine's "A" file functions stop at MAX_PATH, as Windows does for programs
// that are not long-path aware. These stand-ins pass the calls on to the "W"
// functions, as a long-path aware system would, so that the length limit of
// the leftover name is tried on real files.
BOOL WINAPI DeleteFileLongA(LPCSTR path) { return DeleteFileW(WidePath(path).c_str()); }

BOOL WINAPI MoveFileLongA(LPCSTR from, LPCSTR to)
{
    return MoveFileW(WidePath(from).c_str(), WidePath(to).c_str());
}

struct LongPathCalls {
    void *delete_file = nullptr, *move_file = nullptr;
    LongPathCalls()
    {
        delete_file = PatchImport("kernel32.dll", "DeleteFileA", (void *)DeleteFileLongA);
        move_file = PatchImport("kernel32.dll", "MoveFileA", (void *)MoveFileLongA);
    }
    ~LongPathCalls()
    {
        if (delete_file)
            PatchImport("kernel32.dll", "DeleteFileA", delete_file);
        if (move_file)
            PatchImport("kernel32.dll", "MoveFileA", move_file);
    }
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
        HANDLE file = CreateFileW(WidePath(target).c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW,
                                  FILE_ATTRIBUTE_READONLY, NULL);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << c.name;
        DWORD written = 0;
        WriteFile(file, kOld, sizeof(kOld) - 1, &written, NULL);
        CloseHandle(file);
        Plant(temp.path, "src.tmp", kNew);

        std::unique_ptr<LongPathCalls> calls;
        if (c.long_paths) {
            calls.reset(new LongPathCalls);
            ASSERT_TRUE(calls->delete_file && calls->move_file);
        }
        int result = ReplaceInstalledFile(temp.Join("src.tmp").c_str(), target.c_str());
        calls.reset();

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

    EXPECT_EQ(SnapshotTree(temp.path), (TreeSnapshot{{"busy.old", "busy.old"},
                                                     {"locked.old", "locked.old"},
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
