#include "transfer/crc32_kernels.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

typedef DWORD (*Crc32Update)(DWORD reg, const BYTE *bytes, DWORD size);

struct KernelCase {
    const char *name;
    Crc32Update update;
    bool needs_clmul; // runs only where ProcessorHasCarrylessMultiply() says so
};

const KernelCase kKernels[] = {
    {"Bytewise", UpdateCrc32Bytewise, false},
    {"Slicing16", UpdateCrc32Slicing16, false},
    {"Folding", UpdateCrc32Folding, true},
};

// The known answers come from zlib, not from the code under test.
DWORD ZlibCrc(const BYTE *bytes, size_t size)
{
    return (DWORD)crc32(0L, bytes, (uInt)size);
}

std::vector<BYTE> RandomBytes(size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::vector<BYTE> bytes(size);
    for (BYTE &b : bytes)
        b = (BYTE)generator();
    return bytes;
}

// The first byte of bytes at a 16-byte boundary; bytes needs 15 spare.
const BYTE *Aligned(const std::vector<BYTE> &bytes)
{
    uintptr_t misalignment = (uintptr_t)bytes.data() % 16;
    return bytes.data() + (misalignment ? 16 - misalignment : 0);
}

class Crc32Kernel : public testing::TestWithParam<KernelCase> {
protected:
    void SetUp() override
    {
        if (GetParam().needs_clmul && !ProcessorHasCarrylessMultiply())
            GTEST_SKIP() << GetParam().name
                         << " not tested: this processor lacks PCLMULQDQ or SSE4.1";
    }

    DWORD Crc(const BYTE *bytes, size_t size) const
    {
        return GetParam().update(0xFFFFFFFF, bytes, (DWORD)size) ^ 0xFFFFFFFF;
    }
};

TEST_P(Crc32Kernel, CheckValue)
{
    const BYTE check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Crc(check, sizeof(check)), 0xCBF43926u);
    EXPECT_EQ(Crc(check, 0), 0u);
}

TEST_P(Crc32Kernel, EveryLengthAtEveryAlignment)
{
    const size_t kMaxLength = 1024;
    const size_t kAlignments = 16;
    std::vector<BYTE> data = RandomBytes(kMaxLength + kAlignments + 15, 1);
    const BYTE *base = Aligned(data);
    for (size_t alignment = 0; alignment < kAlignments; alignment++) {
        for (size_t length = 0; length <= kMaxLength; length++) {
            const BYTE *bytes = base + alignment;
            ASSERT_EQ(Crc(bytes, length), ZlibCrc(bytes, length))
                << "length " << length << ", alignment " << alignment;
        }
    }
}

TEST_P(Crc32Kernel, LargeRandomBuffers)
{
    const struct {
        size_t size;
        size_t offset;
    } cases[] = {{3 << 20, 0}, {(3 << 20) + 13, 5}, {(5 << 20) - 1, 11}};
    for (const auto &c : cases) {
        std::vector<BYTE> data = RandomBytes(c.size + c.offset, (unsigned)c.size);
        const BYTE *bytes = data.data() + c.offset;
        EXPECT_EQ(Crc(bytes, c.size), ZlibCrc(bytes, c.size))
            << "size " << c.size << ", offset " << c.offset;
    }
}

// A running register continued over a split point, from the kernel itself and
// from the reference, gives the CRC of the whole.
TEST_P(Crc32Kernel, RunningCrcAcrossEverySplitPoint)
{
    const size_t kSize = 2000;
    std::vector<BYTE> data = RandomBytes(kSize, 2);
    const DWORD expected = ZlibCrc(data.data(), kSize);
    Crc32Update update = GetParam().update;
    for (size_t split = 0; split <= kSize; split++) {
        DWORD reg = update(0xFFFFFFFF, data.data(), (DWORD)split);
        reg = update(reg, data.data() + split, (DWORD)(kSize - split));
        ASSERT_EQ(reg ^ 0xFFFFFFFF, expected) << "split at " << split;

        reg = UpdateCrc32Bytewise(0xFFFFFFFF, data.data(), (DWORD)split);
        reg = update(reg, data.data() + split, (DWORD)(kSize - split));
        ASSERT_EQ(reg ^ 0xFFFFFFFF, expected) << "reference, then kernel, split at " << split;
    }
}

TEST_P(Crc32Kernel, RunningCrcOverChunksOfMixedSizes)
{
    const size_t kSize = 1 << 20;
    const size_t chunk_sizes[] = {1, 15, 16, 17, 63, 64, 65, 127, 4095, 4096, 4097, 300};
    std::vector<BYTE> data = RandomBytes(kSize, 3);
    DWORD reg = 0xFFFFFFFF;
    size_t done = 0;
    for (size_t i = 0; done < kSize; i++) {
        size_t chunk = chunk_sizes[i % (sizeof(chunk_sizes) / sizeof(chunk_sizes[0]))];
        if (chunk > kSize - done)
            chunk = kSize - done;
        reg = GetParam().update(reg, data.data() + done, (DWORD)chunk);
        done += chunk;
    }
    EXPECT_EQ(reg ^ 0xFFFFFFFF, ZlibCrc(data.data(), kSize));
}

INSTANTIATE_TEST_SUITE_P(AllKernels, Crc32Kernel, testing::ValuesIn(kKernels),
                         [](const testing::TestParamInfo<KernelCase> &info) {
                             return std::string(info.param.name);
                         });

// GCC's own reading of CPUID is the outside answer here.
TEST(ProcessorHasCarrylessMultiply, AgreesWithTheCompilersCpuCheck)
{
    __builtin_cpu_init();
    bool expected = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    EXPECT_EQ(ProcessorHasCarrylessMultiply(), expected ? 1 : 0);
}

} // namespace
