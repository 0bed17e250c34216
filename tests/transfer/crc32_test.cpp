#include "transfer/crc32.h"

#include "patch/signed_release.h"

#include "support/iat_patch.h"
#include "support/temp_folder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <thread>
#include <vector>

// This program plays a processor without carry-less multiplication: the link
// routes FileCrc32's question and its two kernels through these counters.
extern "C" {
int __real__Z29ProcessorHasCarrylessMultiplyv();
DWORD __real__Z18UpdateCrc32FoldingmPKhm(DWORD reg, const BYTE *bytes, DWORD size);
DWORD __real__Z20UpdateCrc32Slicing16mPKhm(DWORD reg, const BYTE *bytes, DWORD size);
}
namespace {
volatile LONG g_cpu_questions = 0;
volatile LONG g_folding_calls = 0;
volatile LONG g_slicing_calls = 0;
} // namespace
extern "C" {
int __wrap__Z29ProcessorHasCarrylessMultiplyv()
{
    InterlockedIncrement(&g_cpu_questions);
    return 0;
}
DWORD __wrap__Z18UpdateCrc32FoldingmPKhm(DWORD reg, const BYTE *bytes, DWORD size)
{
    InterlockedIncrement(&g_folding_calls);
    return __real__Z18UpdateCrc32FoldingmPKhm(reg, bytes, size);
}
DWORD __wrap__Z20UpdateCrc32Slicing16mPKhm(DWORD reg, const BYTE *bytes, DWORD size)
{
    InterlockedIncrement(&g_slicing_calls);
    return __real__Z20UpdateCrc32Slicing16mPKhm(reg, bytes, size);
}
}

namespace {

// The known answers come from zlib, not from the code under test.
DWORD ZlibCrc(const std::string &bytes)
{
    return (DWORD)crc32(0L, (const Bytef *)bytes.data(), (uInt)bytes.size());
}

TEST(FileCrc32, ChecksumsOfFilesOfManySizes)
{
    TempFolder temp;
    const struct {
        const char *name;
        std::string bytes;
        DWORD expected;
    } cases[] = {
        {"check value", "123456789", 0xCBF43926},
        {"empty", "", 0},
        {"4095 bytes", PseudoRandomBytes(4095, 1), 0},
        {"4096 bytes", PseudoRandomBytes(4096, 2), 0},
        {"4097 bytes", PseudoRandomBytes(4097, 3), 0},
        {"three MiB and a bit", PseudoRandomBytes(3 * 1024 * 1024 + 17, 4), 0},
    };
    for (const auto &c : cases) {
        std::string path = temp.Join("file.bin");
        ASSERT_TRUE(WriteWholeFile(path, c.bytes)) << c.name;
        DWORD expected = c.expected ? c.expected : ZlibCrc(c.bytes);
        DWORD crc = 0xDEADBEEF;
        EXPECT_EQ(FileCrc32(path.c_str(), &crc), 1) << c.name;
        EXPECT_EQ(crc, expected) << c.name;
    }
    // Without carry-less multiplication only the table kernel may run.
    EXPECT_GE(g_cpu_questions, 1);
    EXPECT_GT(g_slicing_calls, 0);
    EXPECT_EQ(g_folding_calls, 0);
}

TEST(FileCrc32, FailuresStoreZero)
{
    TempFolder temp;
    std::string locked = temp.Join("locked.bin");
    HANDLE writer = CreateFileA(locked.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);

    const struct {
        const char *name;
        std::string path;
    } cases[] = {
        {"missing file", temp.Join("missing.bin")},
        {"folder", temp.path},
        {"held open for writing", locked},
    };
    for (const auto &c : cases) {
        DWORD crc = 0xDEADBEEF;
        EXPECT_EQ(FileCrc32(c.path.c_str(), &crc), 0) << c.name;
        EXPECT_EQ(crc, 0u) << c.name;
    }
    CloseHandle(writer);

    DWORD crc = 0xDEADBEEF;
    EXPECT_EQ(FileCrc32(nullptr, &crc), 0);
    EXPECT_EQ(crc, 0u);
    EXPECT_EQ(FileCrc32(locked.c_str(), nullptr), 0);
}

typedef BOOL(WINAPI *ReadFileFn)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
ReadFileFn g_real_read = NULL;
int g_reads = 0, g_read_fails_at = 0;

BOOL WINAPI ReadFailingAt(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED over)
{
    if (++g_reads == g_read_fails_at) {
        SetLastError(ERROR_READ_FAULT);
        return FALSE;
    }
    return g_real_read(file, buffer, size, got, over);
}

volatile LONG g_stop = 0;
int g_stop_at_read = 0;

// Counts reads and raises the stop flag during the chosen one, as a Cancel
// arriving while a chunk is read.
BOOL WINAPI ReadStoppingAt(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED over)
{
    if (++g_reads == g_stop_at_read)
        InterlockedExchange(&g_stop, 1);
    return g_real_read(file, buffer, size, got, over);
}

// A read that fails after the file was opened: 0, 0 stored, the file closed
// (it can then be opened with no sharing at all).
TEST(FileCrc32, AReadThatFails)
{
    TempFolder temp;
    std::string path = temp.Join("file.bin");
    ASSERT_TRUE(WriteWholeFile(path, PseudoRandomBytes(5000, 7)));
    for (int fails_at = 1; fails_at <= 2; fails_at++) {
        g_reads = 0;
        g_read_fails_at = fails_at;
        DWORD crc = 0xDEADBEEF;
        int result = 0;
        {
            ImportHook read("kernel32.dll", "ReadFile", (void *)ReadFailingAt, &g_real_read);
            ASSERT_NE(g_real_read, nullptr);
            result = FileCrc32(path.c_str(), &crc);
        }
        EXPECT_EQ(result, 0) << "read " << fails_at;
        EXPECT_EQ(crc, 0u) << "read " << fails_at;
        EXPECT_EQ(g_reads, fails_at);
        HANDLE alone = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        EXPECT_NE(alone, INVALID_HANDLE_VALUE) << "read " << fails_at << ": file left open";
        if (alone != INVALID_HANDLE_VALUE)
            CloseHandle(alone);
    }
}

// A hash of a large file ends at the first chunk after the stop flag rises,
// with no match, and matches when the flag stays down.
TEST(FileHashes, FollowTheStopFlag)
{
    TempFolder temp;
    std::string path = temp.Join("large.bin");
    std::string bytes = PseudoRandomBytes(16 * 1024 * 1024, 21);
    ASSERT_TRUE(WriteWholeFile(path, bytes));
    SignedEntry entry;
    entry.crc = ZlibCrc(bytes);
    entry.size = bytes.size();
    ASSERT_TRUE(FileSha256(path.c_str(), entry.size, entry.sha256));

    const struct {
        const char *name;
        int (*matches)(const char *path, const SignedEntry *entry, const volatile LONG *stop);
    } hashes[] = {
        {"CRC-32",
         [](const char *file, const SignedEntry *e, const volatile LONG *stop) {
             DWORD crc = 0;
             return FileCrc32(file, &crc, stop) && crc == e->crc ? 1 : 0;
         }},
        {"SHA-256", FileMatchesSignedEntry},
    };
    const struct {
        int stop_at_read; // 0: never; -1: raised before the call
        int match;
        int reads; // -1: all of them
    } rows[] = {{0, 1, -1}, {-1, 0, 0}, {1, 0, 1}, {3, 0, 3}};
    for (const auto &h : hashes) {
        for (const auto &r : rows) {
            g_reads = 0;
            g_stop_at_read = r.stop_at_read;
            g_stop = r.stop_at_read < 0 ? 1 : 0;
            int match = -3;
            {
                ImportHook read("kernel32.dll", "ReadFile", (void *)ReadStoppingAt, &g_real_read);
                ASSERT_NE(g_real_read, nullptr);
                match = h.matches(path.c_str(), &entry, &g_stop);
            }
            EXPECT_EQ(match, r.match) << h.name << ", stop at read " << r.stop_at_read;
            if (r.reads >= 0)
                EXPECT_EQ(g_reads, r.reads) << h.name << ", stop at read " << r.stop_at_read;
            else
                EXPECT_GT(g_reads, 100) << h.name;
        }
    }
}

// Threads summing different files at once each get their own file's CRC.
TEST(FileCrc32, ConcurrentCallsOnSeveralThreads)
{
    const int kThreads = 4;
    const int kCallsPerThread = 20;
    TempFolder temp;
    std::vector<std::string> paths;
    std::vector<DWORD> expected;
    for (int t = 0; t < kThreads; t++) {
        std::string bytes = PseudoRandomBytes(100000 + 4096 * t + t, 10 + t);
        paths.push_back(temp.Join("file" + std::to_string(t) + ".bin"));
        ASSERT_TRUE(WriteWholeFile(paths.back(), bytes));
        expected.push_back(ZlibCrc(bytes));
    }

    std::vector<int> wrong(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCallsPerThread; i++) {
                DWORD crc = 0;
                if (FileCrc32(paths[t].c_str(), &crc) != 1 || crc != expected[t])
                    wrong[t]++;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; t++)
        EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

} // namespace
