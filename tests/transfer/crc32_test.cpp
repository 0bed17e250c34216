#include "transfer/crc32.h"

#include "support/temp_folder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <thread>
#include <vector>

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
