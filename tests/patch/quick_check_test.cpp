#include "patch/quick_check.h"

#include "patch/manifest.h"
#include "support/iat_patch.h"
#include "support/temp_folder.h"
#include "transfer/crc32.h"

#include <gtest/gtest.h>

#include <winioctl.h>
#include <zlib.h>

#include <functional>
#include <map>
#include <set>
#include <string>

namespace {

const char *const kNames[] = {"game.exe", "data\\a.pak", "data\\b.pak"};
const int kEntries = 3;

// A change journal as the system keeps one, for Wine, which has none: every
// file's number is 1 until the test writes to it.
bool g_journal = false;
ULONGLONG g_journal_id = 7;
std::map<ULONGLONG, ULONGLONG> g_usn; // by file index
decltype(&DeviceIoControl) g_real_ioctl = NULL;

ULONGLONG FileIndexOf(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info = {};
    GetFileInformationByHandle(file, &info);
    return ((ULONGLONG)info.nFileIndexHigh << 32) | info.nFileIndexLow;
}

BOOL WINAPI JournalIoctl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                         DWORD out_size, LPDWORD got, LPOVERLAPPED overlapped)
{
    if (!g_journal)
        return g_real_ioctl(device, code, in, in_size, out, out_size, got, overlapped);
    if (code == FSCTL_QUERY_USN_JOURNAL && out_size >= sizeof(USN_JOURNAL_DATA)) {
        USN_JOURNAL_DATA data = {};
        data.UsnJournalID = g_journal_id;
        memcpy(out, &data, sizeof(data));
        *got = sizeof(data);
        return TRUE;
    }
    if (code == FSCTL_READ_FILE_USN_DATA && out_size >= 64) {
        BYTE *record = (BYTE *)out;
        memset(record, 0, 64);
        DWORD length = 64;
        WORD version = 2;
        ULONGLONG usn = g_usn.count(FileIndexOf(device)) ? g_usn[FileIndexOf(device)] : 1;
        memcpy(record, &length, 4);
        memcpy(record + 4, &version, 2);
        memcpy(record + 24, &usn, 8);
        *got = length;
        return TRUE;
    }
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

std::string Content(int entry) { return "content of entry " + std::to_string(entry) + "\n"; }

unsigned long Crc(const std::string &bytes)
{
    return crc32(0, (const Bytef *)bytes.data(), (uInt)bytes.size());
}

class QuickCheckTest : public ::testing::Test {
public:
    void SetUp() override
    {
        UseQuickCheck(1);
        g_journal = false;
        g_usn.clear();
        CreateDirectoryA(install.Join("data").c_str(), NULL);
        std::string text;
        for (int i = 0; i < kEntries; i++) {
            ASSERT_TRUE(WriteWholeFile(install.Join(kNames[i]), Content(i)));
            text += std::to_string(Crc(Content(i))) + " " + kNames[i] + "\n";
        }
        ASSERT_TRUE(ParseManifest(text.c_str(), &manifest));
    }
    void TearDown() override
    {
        UseQuickCheck(0);
        FreeManifest(&manifest);
    }

    static bool ReadInFull(const void *context, DWORD index, const char *file)
    {
        QuickCheckTest *test = (QuickCheckTest *)context;
        test->read.insert((int)index);
        DWORD crc = 0;
        return FileCrc32(file, &crc) && crc == test->manifest.checksums[index];
    }

    // One run over every entry, confirming those in confirmed as found up to
    // date; returns the entries read in full (those not up to date in stale).
    std::set<int> Run(std::set<int> confirmed = {0, 1, 2})
    {
        read.clear();
        stale.clear();
        BeginQuickCheck(install.path.c_str(), &manifest, NULL);
        for (int i = 0; i < kEntries; i++) {
            if (!CheckEntryWithRecord(i, install.Join(kNames[i]).c_str(), ReadInFull, this))
                stale.insert(i);
            else if (confirmed.count(i))
                ConfirmEntry(i, NULL);
        }
        FinishQuickCheck();
        return read;
    }

    // Every file as listed and no record. The times are set to what the
    // system reports of them, so that setting them back restores them exactly
    // (Wine keeps finer times than it reports).
    void Reset()
    {
        RemoveTree(install.Join("patchchk"));
        for (int i = 0; i < kEntries; i++) {
            std::string path = install.Join(kNames[i]);
            ASSERT_TRUE(WriteWholeFile(path, Content(i)));
            HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
            FILETIME created, accessed, written;
            GetFileTime(file, &created, &accessed, &written);
            SetFileTime(file, &created, &accessed, &written);
            CloseHandle(file);
        }
        g_usn.clear();
    }

    std::string RecordPath() const { return install.Join("patchchk\\record.bin"); }

    TempFolder install;
    UpdateManifest manifest = {};
    std::set<int> read, stale;
};

// Rewrites a file in place with the same bytes length, restoring its times,
// and counts the write in the journal as the system would.
void RewriteKeepingSizeAndTimes(const std::string &path, const std::string &bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              0, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME created, accessed, written;
    GetFileTime(file, &created, &accessed, &written);
    DWORD done = 0;
    WriteFile(file, bytes.data(), (DWORD)bytes.size(), &done, NULL);
    SetFileTime(file, &created, &accessed, &written);
    ULONGLONG index = FileIndexOf(file);
    CloseHandle(file);
    g_usn[index] = (g_usn.count(index) ? g_usn[index] : 1) + 1;
}

// Puts another file of the same size in its place, with the same times.
void ReplaceKeepingSizeAndTimes(const std::string &path, const std::string &bytes)
{
    HANDLE old_file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(old_file, INVALID_HANDLE_VALUE);
    FILETIME created, accessed, written;
    GetFileTime(old_file, &created, &accessed, &written);
    CloseHandle(old_file);
    std::string other = path + ".new";
    ASSERT_TRUE(WriteWholeFile(other, bytes));
    HANDLE file = CreateFileA(other.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    SetFileTime(file, &created, &accessed, &written);
    CloseHandle(file);
    ASSERT_TRUE(MoveFileExA(other.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
}

TEST_F(QuickCheckTest, OnlyAFileWhoseFactsMatchTheRecordIsLeftUnread)
{
    ImportHook hook("kernel32.dll", "DeviceIoControl", (void *)JournalIoctl, &g_real_ioctl);
    const std::string forged = "CONTENT OF ENTRY 1\n"; // same size as the real one
    const struct {
        const char *change;
        bool journal;
        std::function<void(QuickCheckTest *)> act;
        std::set<int> read; // at the run after the change
    } cases[] = {
        {"nothing", false, [](QuickCheckTest *) {}, {}},
        {"nothing, with a journal", true, [](QuickCheckTest *) {}, {}},
        {"rewritten, size and times restored, with a journal", true,
         [&](QuickCheckTest *t) { RewriteKeepingSizeAndTimes(t->install.Join(kNames[1]), forged); },
         {1}},
        // Without a journal the change time tells (SetFileTime cannot set it).
        {"rewritten, size and times restored", false,
         [&](QuickCheckTest *t) { RewriteKeepingSizeAndTimes(t->install.Join(kNames[1]), forged); },
         {1}},
        {"replaced by a file of the same size and times", false,
         [&](QuickCheckTest *t) { ReplaceKeepingSizeAndTimes(t->install.Join(kNames[1]), forged); },
         {1}},
        {"grown", false,
         [](QuickCheckTest *t) { WriteWholeFile(t->install.Join(kNames[2]), Content(2) + "x"); },
         {2}},
        {"the journal made anew", true, [](QuickCheckTest *) { g_journal_id++; }, {0, 1, 2}},
        {"a full check asked for", false, [](QuickCheckTest *) { RequestFullCheck(); }, {0, 1, 2}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.change);
        Reset();
        g_journal = c.journal;
        EXPECT_EQ(Run(), (std::set<int>{0, 1, 2})) << "the first run reads every file";
        EXPECT_EQ(Run(), std::set<int>{}) << "the second run, nothing changed";
        c.act(this);
        EXPECT_EQ(Run(), c.read);
    }
    g_journal = false;
}

TEST_F(QuickCheckTest, ARecordThatIsNotWholeAndOfThisBuildIsIgnored)
{
    const struct {
        const char *fault;
        std::function<void(std::string *)> damage;
    } cases[] = {
        {"a byte of an entry changed", [](std::string *r) { (*r)[r->size() - 3] ^= 1; }},
        {"cut short", [](std::string *r) { r->resize(r->size() - 1); }},
        {"only its header", [](std::string *r) { r->resize(56); }},
        {"another build's stamp", [](std::string *r) { (*r)[8] ^= 1; }},
        {"another format", [](std::string *r) { (*r)[7] ^= 1; }},
        {"a byte more", [](std::string *r) { r->push_back('\0'); }},
        {"larger than the bound", [](std::string *r) { r->resize((64 << 20) + 1); }},
        {"empty", [](std::string *r) { r->clear(); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        Run();
        std::string record;
        ASSERT_TRUE(ReadWholeFile(RecordPath(), &record));
        c.damage(&record);
        ASSERT_TRUE(WriteWholeFile(RecordPath(), record));
        EXPECT_EQ(Run(), (std::set<int>{0, 1, 2}));
        EXPECT_EQ(Run(), std::set<int>{}) << "the record was made anew";
    }
}

TEST_F(QuickCheckTest, ARunVouchesOnlyForWhatItConfirmed)
{
    Run();
    // A run that stopped after its first entry: the others were checked, not
    // reported.
    EXPECT_EQ(Run({0}), std::set<int>{});
    EXPECT_EQ(Run(), (std::set<int>{1, 2}));
    // A run cut off takes the record with it.
    BeginQuickCheck(install.path.c_str(), &manifest, NULL);
    EXPECT_FALSE(FileExists(RecordPath()));
    FinishQuickCheck();
    EXPECT_EQ(Run(), (std::set<int>{0, 1, 2}));
}

TEST_F(QuickCheckTest, AnInstalledFileIsRecordedAsItIsFound)
{
    const struct {
        const char *installed;
        std::string bytes;
        std::set<int> read; // at the next run; entry 2 was not confirmed
    } cases[] = {
        {"the listed content", Content(1), {2}},
        {"other content", "changed after its move", {1, 2}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.installed);
        Reset();
        BeginQuickCheck(install.path.c_str(), &manifest, NULL);
        EXPECT_TRUE(CheckEntryWithRecord(0, install.Join(kNames[0]).c_str(), ReadInFull, this));
        ConfirmEntry(0, NULL);
        ASSERT_TRUE(WriteWholeFile(install.Join(kNames[1]), c.bytes));
        ConfirmEntry(1, install.Join(kNames[1]).c_str());
        FinishQuickCheck();
        EXPECT_EQ(Run(), c.read);
    }
}

TEST_F(QuickCheckTest, AFolderNotMadeByThePatcherIsNotTrusted)
{
    Run();
    // The same record in a folder that another program made under the name.
    std::string record;
    ASSERT_TRUE(ReadWholeFile(RecordPath(), &record));
    RemoveTree(install.Join("patchchk"));
    ASSERT_TRUE(CreateDirectoryA(install.Join("patchchk").c_str(), NULL));
    ASSERT_TRUE(WriteWholeFile(RecordPath(), record));
    EXPECT_EQ(Run(), (std::set<int>{0, 1, 2}));
}

TEST_F(QuickCheckTest, OffItReadsEveryFileAndMakesNothing)
{
    UseQuickCheck(0);
    EXPECT_EQ(Run(), (std::set<int>{0, 1, 2}));
    EXPECT_EQ(Run(), (std::set<int>{0, 1, 2}));
    EXPECT_FALSE(FolderExists(install.Join("patchchk")));
}

} // namespace
