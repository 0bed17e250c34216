#include "patch/manifest.h"

#include "support/heap_probe.h"
#include "support/iat_patch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Entry {
    DWORD checksum;
    std::string path;
};

struct ParseCase {
    const char *name;
    std::string text;
    std::vector<Entry> entries;
    DWORD slots; // capacity of both arrays: one per non-blank line
};

// Slots past count must read as null paths and 0 checksums; reading them is
// within the block because the arrays have one slot per non-blank line.
void ExpectRecord(const ParseCase &c, const UpdateManifest &m)
{
    ASSERT_EQ(m.count, c.entries.size()) << c.name;
    if (c.slots == 0) {
        EXPECT_EQ(m.paths, nullptr) << c.name;
        EXPECT_EQ(m.checksums, nullptr) << c.name;
        return;
    }
    ASSERT_NE(m.paths, nullptr) << c.name;
    ASSERT_NE(m.checksums, nullptr) << c.name;
    HANDLE heap = GetProcessHeap();
    EXPECT_EQ(HeapSize(heap, 0, m.paths), c.slots * sizeof(char *)) << c.name;
    EXPECT_EQ(HeapSize(heap, 0, m.checksums), c.slots * sizeof(DWORD)) << c.name;
    for (DWORD i = 0; i < c.slots; i++) {
        if (i < m.count) {
            EXPECT_EQ(m.checksums[i], c.entries[i].checksum) << c.name << " entry " << i;
            EXPECT_EQ(std::string(m.paths[i]), c.entries[i].path) << c.name << " entry " << i;
            EXPECT_EQ(HeapSize(heap, 0, m.paths[i]), c.entries[i].path.size() + 1)
                << c.name << " entry " << i;
        } else {
            EXPECT_EQ(m.paths[i], nullptr) << c.name << " slot " << i;
            EXPECT_EQ(m.checksums[i], 0u) << c.name << " slot " << i;
        }
    }
}

const std::string kBom = "\xEF\xBB\xBF";

TEST(ParseManifest, TextsAndTheEntriesTheyYield)
{
    const ParseCase cases[] = {
        {"empty", "", {}, 0},
        {"breaks and blanks only", "\r\n\r\n  \t", {}, 0},
        {"one CRLF line", "3421780262 data\\maps\\one.map\r\n",
         {{3421780262u, "data\\maps\\one.map"}}, 1},
        {"blanks inside and around", "  42   a b c  \t\r\n7 x", {{42, "a b c"}, {7, "x"}}, 2},
        {"tab separator, forward slash", "12345\tdata/file.pak", {{12345, "data/file.pak"}}, 1},
        {"tabs around", "\t7\tp q\t", {{7, "p q"}}, 1},
        {"runs of LF and of CR", "1 a\n\n\n2 b\r\r3 c", {{1, "a"}, {2, "b"}, {3, "c"}}, 3},
        {"no blank after the digits", "123abc", {{123, "abc"}}, 1},
        {"second number is path", "123 456 file", {{123, "456 file"}}, 1},
        {"no leading digits", "abc 123", {{0, "abc 123"}}, 1},
        {"minus sign", "-5 x", {{0, "-5 x"}}, 1},
        {"comment-like line", "# comment", {{0, "# comment"}}, 1},
        {"largest value", "4294967295 x", {{4294967295u, "x"}}, 1},
        {"wraps at 2^32", "4294967296 x", {{0, "x"}}, 1},
        {"folds many digits", "99999999999 x", {{1215752191u, "x"}}, 1},
        {"bare number", "12345", {}, 1},
        {"number and blanks", "12345 \t ", {}, 1},
        {"bare number between", "0 x\n12345\n5 y", {{0, "x"}, {5, "y"}}, 3},
        {"duplicates kept", "1 a\r\n1 a", {{1, "a"}, {1, "a"}}, 2},
        {"control bytes are text", "9 a\x01\x7f" "b", {{9, "a\x01\x7f" "b"}}, 1},
        {"byte-order mark is text", kBom + "123 a", {{0, kBom + "123 a"}}, 1},
        {"drive path kept for later", "5 C:\\x", {{5, "C:\\x"}}, 1},
    };
    for (const ParseCase &c : cases) {
        int before = CountBusyHeapBlocks();
        UpdateManifest m = {};
        ASSERT_EQ(ParseManifest(c.text.c_str(), &m), 1) << c.name;
        ExpectRecord(c, m);
        EXPECT_EQ(FreeManifest(&m), 1) << c.name;
        EXPECT_EQ(m.paths, nullptr) << c.name;
        EXPECT_EQ(m.checksums, nullptr) << c.name;
        EXPECT_EQ(m.count, 0u) << c.name;
        EXPECT_EQ(CountBusyHeapBlocks(), before) << c.name << ": blocks left behind";
    }
}

TEST(ParseManifest, StopsAtTheFirstNul)
{
    const char text[] = "1 a\0" "2 b";
    UpdateManifest m = {};
    ASSERT_EQ(ParseManifest(text, &m), 1);
    ExpectRecord({"embedded NUL", "", {{1, "a"}}, 1}, m);
    FreeManifest(&m);
}

TEST(ParseManifest, PathsAreCopiesOfTheText)
{
    char text[] = "1 a\n2 b";
    UpdateManifest m = {};
    ASSERT_EQ(ParseManifest(text, &m), 1);
    text[2] = 'X';
    text[6] = 'Y';
    EXPECT_STREQ(m.paths[0], "a");
    EXPECT_STREQ(m.paths[1], "b");
    FreeManifest(&m);
}

TEST(ParseManifest, NullArgumentsChangeNothing)
{
    UpdateManifest m = {};
    EXPECT_EQ(ParseManifest(nullptr, &m), 0);
    EXPECT_EQ(m.paths, nullptr);
    EXPECT_EQ(m.count, 0u);
    EXPECT_EQ(ParseManifest("1 a", nullptr), 0);
}

TEST(ParseManifest, RefusesARecordThatStillOwnsBlocks)
{
    UpdateManifest m = {};
    ASSERT_EQ(ParseManifest("1 a", &m), 1);
    char **paths = m.paths;
    EXPECT_EQ(ParseManifest("2 b\n3 c", &m), 0);
    EXPECT_EQ(m.paths, paths);
    ASSERT_EQ(m.count, 1u);
    EXPECT_STREQ(m.paths[0], "a");
    FreeManifest(&m);
}

TEST(FreeManifest, NullEmptyAndTwice)
{
    EXPECT_EQ(FreeManifest(nullptr), 0);
    UpdateManifest m = {};
    EXPECT_EQ(FreeManifest(&m), 1);
    ASSERT_EQ(ParseManifest("1 a\n2 b", &m), 1);
    EXPECT_EQ(FreeManifest(&m), 1);
    EXPECT_EQ(FreeManifest(&m), 1);
    EXPECT_EQ(m.paths, nullptr);
    EXPECT_EQ(m.count, 0u);
}

// HeapAlloc fails for real from the nth call of the parse: 1 is the paths
// array, 2 the checksums array, 3 the first path, 5 the third path.
TEST(ParseManifest, MemoryRunningOutLeavesNothingBehind)
{
    const struct {
        const char *name;
        int failing_call;
    } cases[] = {
        {"paths array", 1},
        {"checksums array", 2},
        {"first path", 3},
        {"third path", 5},
    };
    for (const auto &c : cases) {
        int before = CountBusyHeapBlocks();
        UpdateManifest m = {};
        ArmHeapAllocFailure(c.failing_call);
        int result = ParseManifest("1 a\n2 b\n3 c\n4 d", &m);
        int calls = HeapAllocCallsSinceArmed();
        DisarmHeapAllocFailure();
        EXPECT_EQ(result, 0) << c.name;
        EXPECT_EQ(calls, c.failing_call) << c.name << ": stopped at the first failure";
        EXPECT_EQ(m.paths, nullptr) << c.name;
        EXPECT_EQ(m.checksums, nullptr) << c.name;
        EXPECT_EQ(m.count, 0u) << c.name;
        EXPECT_EQ(CountBusyHeapBlocks(), before) << c.name << ": blocks left behind";
    }
}

} // namespace
