// Registry access behind the toolkit's CRegScannerA, one implementation per port:
// the real registry on Windows, a directory tree of value files on POSIX
// (docs/platform-linux.md). Results are plain booleans; no OS error escapes.
#pragma once

#include <cstdint>

#include "win32api.h"

struct TRegStoreKey;  // opaque, owned by the store

// Opens the key `path` (backslash-separated) below `root`. With `create`, missing
// keys on the way are made. Null on failure.
TRegStoreKey* RegStoreOpen(HKEY root, const char* path, bool create);
// Opens the subkey `name` of an open key. Null on failure.
TRegStoreKey* RegStoreOpenSub(TRegStoreKey* key, const char* name, bool create);
// A missing, unreadable or malformed value gives false and leaves *value alone.
bool RegStoreGetDword(TRegStoreKey* key, const char* name, std::uint32_t* value);
bool RegStoreSetDword(TRegStoreKey* key, const char* name, std::uint32_t value);
bool RegStoreDeleteValue(TRegStoreKey* key, const char* name);
void RegStoreClose(TRegStoreKey* key);
