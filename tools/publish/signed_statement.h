#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The signed statement of a release, beside its manifest, as the patcher
// reads it when it is built with a key. Text, every line ending in LF:
//   signed-release 1
//   release <number, larger at every publish>
//   expires <UTC seconds since 1970 from which the statement is no longer good>
//   entry <CRC-32> <size> <SHA-256 in 64 lowercase hex digits> <manifest path>
//   signature <r and s of the ECDSA P-256 signature over the SHA-256 of the
//              lines above the first signature line, 128 lowercase hex digits>
//   ... one signature line per key that signed (two while keys change)
// Entries stand in manifest order, one per manifest line.

const char kSignedStatementName[] = "signed-release.txt";
// Where patch.exe keeps the release its installation last completed.
const char kCompletedReleaseName[] = "patch-release.txt";

struct StatementEntry {
    uint32_t crc;
    uint64_t size;
    std::string sha256; // 64 lowercase hex digits
    std::string path;   // as the manifest lists it
};

struct Statement {
    uint64_t release;
    uint64_t expires;
    std::vector<StatementEntry> entries;
};

// The lines the signature covers.
std::string FormatStatementBody(const Statement &statement);

// The last line, for a signature of 64 bytes.
std::string SignatureLine(const unsigned char signature[64]);

// Splits a statement into its signed lines and its signatures (64 bytes
// each, in order) and reads the lines; false, with *error, for a text that
// the patcher refuses as damaged.
bool ParseStatement(const std::string &text, Statement *statement, std::string *body,
                    std::vector<std::string> *signatures, std::string *error);

// Why a release file may not have this name at the top of the release, or "".
std::string ReservedNameRule(const std::string &name);

// Lowercase hex of the bytes.
std::string HexOf(const unsigned char *bytes, size_t size);
