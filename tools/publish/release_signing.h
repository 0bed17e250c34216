#pragma once

#include "tool_output.h"

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// Signing with ECDSA P-256 keys in PEM files, through OpenSSL's libcrypto.
// Only the Linux build of the tool has it; the Windows build refuses both
// calls with a message that says so.

const int kDefaultValidDays = 30;
const int kMaxValidDays = 3650;

// Whether this build can sign with the private key in that file; false
// with *error naming why not.
bool CheckSigningKey(const fs::path &private_key, std::string *error);

// Writes the statement of the release whose files and manifest stand in
// folder, signed with each key in turn, numbered above the statement of
// previous (the release shown so far; may have none), good for valid_days
// days from now (0: expired at once). False with *error; nothing written then.
bool WriteSignedStatement(const fs::path &folder, const fs::path &previous,
                          const std::vector<fs::path> &private_keys, int valid_days,
                          std::string *summary, std::string *error);

// Checks <root>/latest/'s statement: one signature made with the key, the manifest's
// entries in order, every file's size and SHA-256, not expired. Returns the
// exit code: 0 good, 1 problems found (each named), 2 a key that cannot be used.
int VerifySignedRelease(const fs::path &root, const fs::path &public_key, ToolOutput *output);
