#include "file_crc.h"

#include "site_platform.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace {

const size_t kChunkBytes = 1 << 20; // large reads keep the copy near disk speed

std::string Failure(const char *what, const fs::path &path)
{
    return std::string(what) + " " + path.u8string() + ": " +
           std::error_code(errno, std::generic_category()).message();
}

// zlib takes a 32-bit count: a larger one goes in pieces.
uint32_t AddToCrc(uint32_t crc, const unsigned char *bytes, size_t count)
{
    const size_t kMaxPiece = 1u << 30;
    uLong sum = crc;
    do {
        size_t piece = count < kMaxPiece ? count : kMaxPiece;
        sum = crc32(sum, bytes, (uInt)piece);
        bytes += piece;
        count -= piece;
    } while (count > 0);
    return (uint32_t)sum;
}

// Reads up to the buffer's size; false on a read error.
bool ReadChunk(std::FILE *file, std::vector<unsigned char> *buffer, size_t *got)
{
    *got = std::fread(buffer->data(), 1, buffer->size(), file);
    return !std::ferror(file);
}

} // namespace

IoBuffers MakeIoBuffers()
{
    IoBuffers buffers;
    buffers.first.resize(kChunkBytes);
    buffers.second.resize(kChunkBytes);
    return buffers;
}

bool ChecksumFile(const fs::path &path, IoBuffers *buffers, uint32_t *crc, std::string *error)
{
    *crc = 0;
    std::FILE *file = OpenFile(path, "rb");
    if (!file) {
        *error = Failure("cannot open", path);
        return false;
    }
    uint32_t sum = AddToCrc(0, nullptr, 0);
    bool ok = true;
    size_t got = 0;
    while ((ok = ReadChunk(file, &buffers->first, &got)) && got > 0)
        sum = AddToCrc(sum, buffers->first.data(), got);
    if (!ok)
        *error = Failure("cannot read", path);
    std::fclose(file);
    if (ok)
        *crc = sum;
    return ok;
}

bool CopyFileWithChecksum(const fs::path &source, const fs::path &target, IoBuffers *buffers,
                          uint32_t *crc, std::string *error)
{
    *crc = 0;
    std::FILE *in = OpenFile(source, "rb");
    std::FILE *out = nullptr;
    bool ok = false;
    uint32_t sum = AddToCrc(0, nullptr, 0);
    size_t got = 0;
    if (!in) {
        *error = Failure("cannot open", source);
        goto done;
    }
    out = OpenFile(target, "wb");
    if (!out) {
        *error = Failure("cannot create", target);
        goto done;
    }
    for (;;) {
        if (!ReadChunk(in, &buffers->first, &got)) {
            *error = Failure("cannot read", source);
            goto done;
        }
        if (got == 0)
            break;
        sum = AddToCrc(sum, buffers->first.data(), got);
        if (std::fwrite(buffers->first.data(), 1, got, out) != got) {
            *error = Failure("cannot write", target);
            goto done;
        }
    }
    ok = true;

done:
    if (in)
        std::fclose(in);
    if (out && std::fclose(out) != 0 && ok) {
        *error = Failure("cannot write", target);
        ok = false;
    }
    if (ok)
        *crc = sum;
    return ok;
}

bool CompareFiles(const fs::path &first, const fs::path &second, IoBuffers *buffers, bool *same,
                  uint32_t *crc, std::string *error)
{
    *same = false;
    *crc = 0;
    std::FILE *a = OpenFile(first, "rb");
    std::FILE *b = OpenFile(second, "rb");
    bool ok = false;
    uint32_t sum = AddToCrc(0, nullptr, 0);
    size_t got_a = 0;
    size_t got_b = 0;
    if (!a || !b) {
        *error = Failure("cannot open", a ? second : first);
        goto done;
    }
    for (;;) {
        if (!ReadChunk(a, &buffers->first, &got_a)) {
            *error = Failure("cannot read", first);
            goto done;
        }
        if (!ReadChunk(b, &buffers->second, &got_b)) {
            *error = Failure("cannot read", second);
            goto done;
        }
        if (got_a != got_b || std::memcmp(buffers->first.data(), buffers->second.data(), got_a) != 0) {
            ok = true; // they differ; that is an answer, not a failure
            goto done;
        }
        if (got_a == 0)
            break;
        sum = AddToCrc(sum, buffers->first.data(), got_a);
    }
    ok = true;
    *same = true;
    *crc = sum;

done:
    if (a)
        std::fclose(a);
    if (b)
        std::fclose(b);
    return ok;
}
