#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Whole-file operations that checksum what they read, with zlib's CRC-32
// (the patcher's own implementation is a separate one; tests compare them).

namespace fs = std::filesystem;

// Working memory for the operations below, made once per run.
struct IoBuffers {
    std::vector<unsigned char> first;
    std::vector<unsigned char> second;
};
IoBuffers MakeIoBuffers();

// CRC-32 of the whole file.
bool ChecksumFile(const fs::path &path, IoBuffers *buffers, uint32_t *crc, std::string *error);

// Copies source to the new file target; crc covers the bytes copied.
bool CopyFileWithChecksum(const fs::path &source, const fs::path &target, IoBuffers *buffers,
                          uint32_t *crc, std::string *error);

// Compares two files byte for byte. When they are the same, crc holds the
// CRC-32 of their content.
bool CompareFiles(const fs::path &first, const fs::path &second, IoBuffers *buffers, bool *same,
                  uint32_t *crc, std::string *error);
