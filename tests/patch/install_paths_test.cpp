#include "patch/install_paths.h"

#include "support/file_tree.h"
#include "support/iat_patch.h"
#include "support/temp_folder.h"
#include "support/unix_host.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const char kUntouched = '#';

TEST(IsSafeRelativePath, AcceptsOnlyPathsThatStayBelowTheBase)
{
    const struct {
        const char *path;
        int safe;
    } cases[] = {
        {"data\\file.pak", 1}, {"/data/file.pak", 1}, {"\\\\server\\share\\x", 1},
        {"", 0},               {"\\/\\", 0},          {"..\\x", 0},
        {"a\\..\\b", 0},       {"a/..", 0},           {"../x", 0},
        {"..", 0},             {"a\\..b", 1},         {"..a", 1},
        {"a..", 0},            {"...", 0},            {".\\a", 1},
        {"a\\.\\b", 1},
        {"a//b\\\\c", 1},      {"C:\\x", 0},          {"C:x", 0},
        {"a\\b:c", 0},         {"a b\\*?.txt", 1},
        // Windows drops a trailing '.' or ' ': "data." is the folder "data".
        {"data.", 0},          {"data.\\x", 0},       {"data \\x", 0},
        {"x.txt ", 0},         {"a\\. ", 0},          {" a.txt", 1},
        {"a.b.c", 1},
        // Device names, in any case, alone or with an extension.
        {"NUL", 0},            {"nul.txt", 0},        {"data\\Con", 0},
        {"prn.tar.gz", 0},     {"AUX\\x", 0},         {"com1", 0},
        {"COM9.dat", 0},       {"lpt1", 0},           {"LpT9.x", 0},
        {"nul .txt", 0},       {"COM0", 1},           {"COM10", 1},
        {"LPT", 1},            {"nula", 1},           {"acon", 1},
        {"con_x", 1},          {"xnul.txt", 1},       {"data\\nul\\x", 0},
        // The staging folder, at the top only.
        {"patchtmp", 0},       {"PatchTmp\\x", 0},    {".\\.//patchtmp/x", 0},
        {"a\\patchtmp\\x", 1},  {"patchtmpx", 1},      {"patchtm", 1},
        // The quick check's folder, likewise.
        {"PatchChk\\record.bin", 0}, {"a\\patchchk", 1},  {"patchchk.x", 1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(IsSafeRelativePath(c.path), c.safe) << "path: " << c.path;
    EXPECT_EQ(IsSafeRelativePath(nullptr), 0);
}

TEST(JoinLocalPath, JoinsWithOneSeparatorAndTheCapacityRule)
{
    const std::string r510(510, 'r'), r511(511, 'r'), r512(512, 'r');
    const struct {
        std::string base, relative;
        int result;
        std::string output; // empty with result 0: untouched
    } cases[] = {
        {"C:\\Game", "data\\file.pak", 1, "C:\\Game\\data\\file.pak"},
        {"C:\\Game", "\\data/file.pak", 1, "C:\\Game\\data/file.pak"},
        {"C:\\Game\\", "a.txt", 1, "C:\\Game\\a.txt"},
        {"C:\\Game/", "a.txt", 1, "C:\\Game/a.txt"},
        {"", "a.txt", 1, "a.txt"},
        {"C:\\Game", "", 1, "C:\\Game\\"},
        {"C:\\Game", "*", 1, "C:\\Game\\*"},
        {"C:\\Game", r511, 1, "C:\\Game\\" + r511},
        {"C:\\Game", "//" + r511, 1, "C:\\Game\\" + r511},
        {"C:\\Game", r512, 0, ""},
        {"C:\\Game\\", r510, 1, "C:\\Game\\" + r510},
        {"C:\\Game\\", r511, 0, ""},
    };
    for (const auto &c : cases) {
        char out[kJoinedPathCapacity];
        memset(out, kUntouched, sizeof(out));
        int result = JoinLocalPath(c.base.c_str(), c.relative.c_str(), out, sizeof(out));
        EXPECT_EQ(result, c.result) << c.base << " + " << c.relative.size() << " bytes";
        if (c.result) {
            EXPECT_EQ(std::string(out), c.output) << c.base;
        } else {
            EXPECT_EQ(out[0], kUntouched) << c.base << ": output touched";
        }
    }
}

TEST(JoinLocalPath, RefusesNullsAndCapacityBelowOne)
{
    char out[16];
    memset(out, kUntouched, sizeof(out));
    EXPECT_EQ(JoinLocalPath(nullptr, "a", out, 16), 0);
    EXPECT_EQ(JoinLocalPath("b", nullptr, out, 16), 0);
    EXPECT_EQ(JoinLocalPath("b", "a", nullptr, 16), 0);
    EXPECT_EQ(JoinLocalPath("b", "a", out, 0), 0);
    EXPECT_EQ(JoinLocalPath("b", "a", out, -1), 0);
    EXPECT_EQ(JoinLocalPath("b", "a", out, 3), 0); // "b\a" needs 4
    EXPECT_EQ(out[0], kUntouched);
    EXPECT_EQ(JoinLocalPath("b", "a", out, 4), 1);
    EXPECT_STREQ(out, "b\\a");
}

TEST(JoinServerPath, TurnsSeparatorsEscapesAndCutsAtTheCapacity)
{
    const std::string r510(510, 'r'), r511(511, 'r'), r512(512, 'r');
    const struct {
        std::string relative;
        int capacity;
        int result;
        std::string output; // empty with result 0: untouched
    } cases[] = {
        {"data\\maps\\one.map", 520, 1, "/latest/data/maps/one.map"},
        {"\\data\\x", 520, 1, "/latest/data/x"},
        {"//a/b", 520, 1, "/latest/a/b"},
        // Bytes a URL path cannot carry as they are travel as %XX; the rest keep theirs.
        {"a b.txt", 520, 1, "/latest/a%20b.txt"},
        {"%20?#", 520, 1, "/latest/%2520%3F%23"},
        {"\xE9[1]\"<>^`{|}\t\x7F", 520, 1,
         "/latest/%E9%5B1%5D%22%3C%3E%5E%60%7B%7C%7D%09%7F"},
        {"a-._~!$&'()*+,;=@z", 520, 1, "/latest/a-._~!$&'()*+,;=@z"},
        {r510 + " ", 520, 0, "/latest/" + r510}, // never half an escape
        {"a b", 11, 0, "/latest/a"},
        {"", 520, 1, "/latest/"},
        {r511, 520, 1, "/latest/" + r511},
        {r512, 520, 0, "/latest/" + r511},
        {"abcdef", 10, 0, "/latest/a"},
        {"a", 9, 0, "/latest/"},
        {"a", 8, 0, ""},
    };
    for (const auto &c : cases) {
        char out[kJoinedPathCapacity];
        memset(out, kUntouched, sizeof(out));
        int result = JoinServerPath("/latest/", c.relative.c_str(), out, c.capacity);
        EXPECT_EQ(result, c.result) << c.relative.size() << " bytes, capacity " << c.capacity;
        if (c.output.empty()) {
            EXPECT_EQ(out[0], kUntouched) << "capacity " << c.capacity << ": output touched";
        } else {
            EXPECT_EQ(std::string(out), c.output) << "capacity " << c.capacity;
        }
    }
}

TEST(JoinServerPath, RefusesNullsAndCapacityBelowOne)
{
    char out[16];
    memset(out, kUntouched, sizeof(out));
    EXPECT_EQ(JoinServerPath(nullptr, "a", out, 16), 0);
    EXPECT_EQ(JoinServerPath("/", nullptr, out, 16), 0);
    EXPECT_EQ(JoinServerPath("/", "a", nullptr, 16), 0);
    EXPECT_EQ(JoinServerPath("/", "a", out, 0), 0);
    EXPECT_EQ(JoinServerPath("/", "a", out, -5), 0);
    EXPECT_EQ(out[0], kUntouched);
}

class EnsureParentFoldersTest : public ::testing::Test {
protected:
    TempFolder temp;
    std::string base() const { return temp.path; }
};

TEST_F(EnsureParentFoldersTest, MakesMissingFoldersOutermostFirst)
{
    const struct {
        const char *relative;
        const char *made[2]; // folders that must exist afterwards
    } cases[] = {
        {"a\\maps\\one.map", {"a", "a\\maps"}},
        {"b\\maps/one.map", {"b", "b\\maps"}},
        {"c\\", {"c", nullptr}},
        {"d//e\\f.txt", {"d", "d\\e"}},
    };
    for (const auto &c : cases) {
        std::string target = base() + "\\" + c.relative;
        EXPECT_EQ(EnsureParentFolders(base().c_str(), target.c_str()), 1) << c.relative;
        for (const char *folder : c.made) {
            if (folder) {
                EXPECT_TRUE(FolderExists(temp.Join(folder))) << c.relative << ": " << folder;
            }
        }
        if (target.back() != '\\') {
            EXPECT_FALSE(FolderExists(target)) << c.relative << ": file made as a folder";
        }
    }
}

TEST_F(EnsureParentFoldersTest, ExistingFoldersAndTopLevelFiles)
{
    ASSERT_TRUE(CreateDirectoryA(temp.Join("data").c_str(), NULL));
    ASSERT_TRUE(CreateDirectoryA(temp.Join("data\\maps").c_str(), NULL));
    EXPECT_EQ(EnsureParentFolders(base().c_str(), temp.Join("data\\maps\\one.map").c_str()), 1);
    EXPECT_EQ(EnsureParentFolders(base().c_str(), temp.Join("one.map").c_str()), 1);
    EXPECT_FALSE(FileExists(temp.Join("one.map")));
}

TEST_F(EnsureParentFoldersTest, AFileInTheWayFailsAndMakesNothing)
{
    ASSERT_TRUE(WriteWholeFile(temp.Join("data"), "x"));
    EXPECT_EQ(EnsureParentFolders(base().c_str(), temp.Join("data\\maps\\one.map").c_str()), 0);
    EXPECT_TRUE(FileExists(temp.Join("data")));
    EXPECT_FALSE(FolderExists(temp.Join("data\\maps")));
}

TEST_F(EnsureParentFoldersTest, FoldersMadeBeforeAFailureStay)
{
    ASSERT_TRUE(CreateDirectoryA(temp.Join("a").c_str(), NULL));
    ASSERT_TRUE(WriteWholeFile(temp.Join("a\\b"), "x"));
    EXPECT_EQ(EnsureParentFolders(base().c_str(), temp.Join("n\\a\\b\\c\\f").c_str()), 1);
    EXPECT_EQ(EnsureParentFolders(base().c_str(), temp.Join("a\\b\\c\\f").c_str()), 0);
    EXPECT_TRUE(FolderExists(temp.Join("n\\a\\b\\c")));
}

DWORD g_create_error = 0;
// What another process puts at the name just before CreateDirectoryA.
enum Planted { kNothing, kFolder, kLinkOut };
Planted g_planted = kNothing;
std::string g_outside;
std::vector<std::unique_ptr<UnixSymlink>> g_links;

BOOL WINAPI CreateDirectoryFails(LPCSTR path, LPSECURITY_ATTRIBUTES)
{
    if (g_planted == kFolder)
        CreateDirectoryW(WidePath(path).c_str(), NULL);
    if (g_planted == kLinkOut)
        g_links.emplace_back(new UnixSymlink(path, g_outside));
    SetLastError(g_create_error);
    return FALSE;
}

// A folder that another process made first counts as made, unless it is a
// link; any other error of CreateDirectoryA fails.
TEST_F(EnsureParentFoldersTest, CreateDirectoryErrors)
{
    const struct {
        DWORD error;
        Planted planted;
        int result;
    } cases[] = {
        {ERROR_ACCESS_DENIED, kNothing, 0},
        {ERROR_ALREADY_EXISTS, kFolder, 1},
        {ERROR_ALREADY_EXISTS, kLinkOut, 0},
        {ERROR_DISK_FULL, kNothing, 0},
    };
    g_outside = temp.Join("outside");
    ASSERT_TRUE(CreateDirectoryA(g_outside.c_str(), NULL));
    for (const auto &c : cases) {
        g_create_error = c.error;
        g_planted = c.planted;
        int result = 0;
        {
            void *real = NULL;
            ImportHook create("kernel32.dll", "CreateDirectoryA", (void *)CreateDirectoryFails,
                              &real);
            ASSERT_NE(real, nullptr);
            result = EnsureParentFolders(base().c_str(), temp.Join("a\\b\\f").c_str());
        }
        g_links.clear();
        RemoveDirectoryA(temp.Join("a\\b").c_str());
        RemoveDirectoryA(temp.Join("a").c_str());
        EXPECT_EQ(result, c.result) << "error " << c.error << ", planted " << c.planted;
    }
    EXPECT_FALSE(FolderExists(temp.Join("outside\\b")));
}

// Anyone who can write to the game folder can link a folder of it elsewhere;
// the elevated patcher makes nothing through such a link.
TEST_F(EnsureParentFoldersTest, RefusesToMakeFoldersThroughALink)
{
    ASSERT_TRUE(CreateDirectoryA(temp.Join("outside").c_str(), NULL));
    ASSERT_TRUE(CreateDirectoryA(temp.Join("outside\\in").c_str(), NULL));
    ASSERT_TRUE(CreateDirectoryA(temp.Join("g").c_str(), NULL));
    ASSERT_TRUE(CreateDirectoryA(temp.Join("g\\data").c_str(), NULL));
    UnixSymlink top(temp.Join("g\\link"), temp.Join("outside"));
    UnixSymlink inner(temp.Join("g\\data\\link"), temp.Join("outside"));
    ASSERT_TRUE(top.made && inner.made);
    const std::string base = temp.Join("g");
    const char *targets[] = {"link\\escaped\\f.dll", "link\\in\\f.dll", "link\\f.dll",
                             "data\\link\\escaped\\f.dll"};
    for (const char *target : targets)
        EXPECT_EQ(EnsureParentFolders(base.c_str(), (base + "\\" + target).c_str()), 0) << target;
    EXPECT_FALSE(FolderExists(temp.Join("outside\\escaped")));
}

TEST_F(EnsureParentFoldersTest, RefusesBadArguments)
{
    std::string too_long = base() + "\\" + std::string(520, 'x') + "\\f";
    std::string just_long = base() + "\\x\\" + std::string(519 - base().size() - 3, 'f');
    ASSERT_EQ(just_long.size(), 519u);
    std::string full = base() + "\\y\\" + std::string(520 - base().size() - 3, 'f');
    ASSERT_EQ(full.size(), 520u); // no room for its NUL
    EXPECT_EQ(EnsureParentFolders(base().c_str(), full.c_str()), 0);
    EXPECT_FALSE(FolderExists(temp.Join("y")));
    EXPECT_EQ(EnsureParentFolders(base().c_str(), too_long.c_str()), 0);
    EXPECT_EQ(EnsureParentFolders("", temp.Join("e\\f").c_str()), 0);
    EXPECT_EQ(EnsureParentFolders(nullptr, temp.Join("e\\f").c_str()), 0);
    EXPECT_EQ(EnsureParentFolders(base().c_str(), nullptr), 0);
    EXPECT_EQ(EnsureParentFolders(base().c_str(), ""), 0);
    EXPECT_FALSE(FolderExists(temp.Join("e")));
    EXPECT_EQ(EnsureParentFolders(base().c_str(), just_long.c_str()), 1);
    EXPECT_TRUE(FolderExists(temp.Join("x")));
}

} // namespace
