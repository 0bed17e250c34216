#include "patch/install_paths.h"

#include "patch/held_files.h"
#include "support/file_tree.h"
#include "support/iat_patch.h"
#include "support/nt_file_hook.h"
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

// The folders of a target, held from the installation folder down.
class HoldFoldersTest : public ::testing::Test {
protected:
    TempFolder temp;
    std::string base() const { return temp.path; }
    // HoldFoldersBelow from a held base, every handle let go again.
    int Hold(const std::string &relative, int make, const std::string &base_path = "")
    {
        HANDLE install = HoldInstallationFolder((base_path.empty() ? base() : base_path).c_str());
        HeldFolders held;
        int result = HoldFoldersBelow(install, relative.c_str(), make, &held);
        ReleaseFolders(&held);
        if (install != INVALID_HANDLE_VALUE)
            CloseHandle(install);
        return result;
    }
};

TEST_F(HoldFoldersTest, MakesMissingFoldersOutermostFirst)
{
    const struct {
        const char *relative;
        const char *made[2]; // folders that must exist afterwards
    } cases[] = {
        {"a\\maps\\one.map", {"a", "a\\maps"}},
        {"b\\maps/one.map", {"b", "b\\maps"}},
        {"c\\", {"c", nullptr}},
        {"d//e\\f.txt", {"d", "d\\e"}},
        {"\\.\\g\\.\\h\\f.txt", {"g", "g\\h"}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Hold(c.relative, 1), 1) << c.relative;
        for (const char *folder : c.made) {
            if (folder) {
                EXPECT_TRUE(FolderExists(temp.Join(folder))) << c.relative << ": " << folder;
            }
        }
        std::string target = base() + "\\" + c.relative;
        if (target.back() != '\\') {
            EXPECT_FALSE(FolderExists(target)) << c.relative << ": file made as a folder";
        }
    }
}

TEST_F(HoldFoldersTest, ExistingMissingAndBlockedFolders)
{
    ASSERT_TRUE(CreateDirectoryA(temp.Join("data").c_str(), NULL));
    ASSERT_TRUE(CreateDirectoryA(temp.Join("data\\maps").c_str(), NULL));
    ASSERT_TRUE(WriteWholeFile(temp.Join("file"), "x"));
    ASSERT_TRUE(CreateDirectoryA(temp.Join("a").c_str(), NULL));
    ASSERT_TRUE(WriteWholeFile(temp.Join("a\\b"), "x"));
    EXPECT_EQ(Hold("data\\maps\\one.map", 0), 1);
    EXPECT_EQ(Hold("one.map", 0), 1);
    EXPECT_FALSE(FileExists(temp.Join("one.map")));
    EXPECT_EQ(Hold("missing\\one.map", 0), 0) << "held without make";
    EXPECT_FALSE(FolderExists(temp.Join("missing")));
    EXPECT_EQ(Hold("file\\maps\\one.map", 1), 0) << "a file in the way";
    EXPECT_TRUE(FileExists(temp.Join("file")));
    // Folders made before a failure stay.
    EXPECT_EQ(Hold("n\\a\\b\\c\\f", 1), 1);
    EXPECT_EQ(Hold("a\\b\\c\\f", 1), 0);
    EXPECT_TRUE(FolderExists(temp.Join("n\\a\\b\\c")));
}

// Anyone who can write to the game folder can link a folder of it elsewhere,
// or put a link in a folder's place between two calls; the elevated patcher
// makes nothing through such a link, and nothing outside the installation
// whatever it names. The installation folder itself may be a link.
TEST_F(HoldFoldersTest, NothingIsMadeOrHeldOutsideTheInstallation)
{
    const std::string outside = temp.Join("outside");
    ASSERT_TRUE(CreateDirectoryA(outside.c_str(), NULL));
    ASSERT_TRUE(CreateDirectoryA(temp.Join("outside\\in").c_str(), NULL));
    ASSERT_TRUE(CreateDirectoryA(temp.Join("g").c_str(), NULL));
    ASSERT_TRUE(CreateDirectoryA(temp.Join("g\\data").c_str(), NULL));
    UnixSymlink top(temp.Join("g\\link"), outside);
    UnixSymlink inner(temp.Join("g\\data\\link"), outside);
    UnixSymlink install(temp.Join("linked"), temp.Join("g"));
    ASSERT_TRUE(top.made && inner.made && install.made);
    const std::string base = temp.Join("g");
    const struct {
        const char *relative;
        const char *replaced; // a folder put in a link's place just before it is opened
        int result;
    } cases[] = {
        {"link\\escaped\\f.dll", nullptr, 0},
        {"link\\in\\f.dll", nullptr, 0},
        {"link\\f.dll", nullptr, 0},
        {"data\\link\\escaped\\f.dll", nullptr, 0},
        {"..\\escaped\\f.dll", nullptr, 0},
        {"data\\..\\..\\escaped\\f.dll", nullptr, 0},
        {"made\\escaped\\f.dll", "made", 0},
        {"data\\made\\escaped\\f.dll", "made", 0},
    };
    for (const auto &c : cases) {
        std::vector<std::unique_ptr<UnixSymlink>> planted;
        NtFileHook hook([&](NtFileCall, const std::wstring &name) -> NTSTATUS {
            if (c.replaced && NarrowName(name) == c.replaced && planted.empty()) {
                planted.emplace_back(new UnixSymlink(
                    base + (std::string(c.relative).find("data") == 0 ? "\\data\\" : "\\") +
                        c.replaced,
                    outside));
            }
            return 0;
        });
        ASSERT_TRUE(hook.hooked);
        EXPECT_EQ(Hold(c.relative, 1, base), c.result) << c.relative;
        EXPECT_EQ(Hold(c.relative, 1, temp.Join("linked")), c.result) << "linked: " << c.relative;
    }
    EXPECT_FALSE(FolderExists(temp.Join("outside\\escaped")));
    EXPECT_FALSE(FolderExists(temp.Join("escaped")));
    EXPECT_EQ(Hold("maps\\f.dll", 1, temp.Join("linked")), 1) << "through the installation's link";
    EXPECT_TRUE(FolderExists(temp.Join("g\\maps")));
}

TEST_F(HoldFoldersTest, RefusesBadArguments)
{
    HeldFolders held;
    HANDLE install = HoldInstallationFolder(base().c_str());
    ASSERT_NE(install, INVALID_HANDLE_VALUE);
    EXPECT_EQ(HoldFoldersBelow(install, nullptr, 1, &held), 0);
    EXPECT_EQ(HoldFoldersBelow(INVALID_HANDLE_VALUE, "e\\f", 1, &held), 0);
    EXPECT_EQ(HoldFoldersBelow(install, "e\\f", 1, nullptr), 0);
    EXPECT_EQ(HoldFoldersBelow(install, (std::string(520, 'x') + "\\f").c_str(), 1, &held), 0);
    ReleaseFolders(&held);
    CloseHandle(install);
    EXPECT_EQ(HoldInstallationFolder(""), INVALID_HANDLE_VALUE);
    EXPECT_EQ(HoldInstallationFolder(nullptr), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(FolderExists(temp.Join("e")));
    EXPECT_STREQ(TargetName("a\\b/c.txt"), "c.txt");
    EXPECT_STREQ(TargetName("a\\"), "");
}

} // namespace
