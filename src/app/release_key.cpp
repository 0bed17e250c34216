#include "app/release_key.h"

#ifndef PATCHER_RELEASE_KEY
#error "PATCHER_RELEASE_KEY must hold the release key's hex digits or \"\" (set by the build)"
#endif

const char kBuiltInReleaseKey[] = PATCHER_RELEASE_KEY;
