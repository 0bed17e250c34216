#pragma once

// The public key every release must be signed with, as 128 hex digits (the
// X and Y of an ECDSA P-256 point), or "" when the build has none. Set by
// the build from PATCHER_RELEASE_KEY.
extern const char kBuiltInReleaseKey[];
