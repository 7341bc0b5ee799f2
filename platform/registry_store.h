// Registry access behind the toolkit's CRegScannerA, one implementation per port:
// the real registry on Windows, a directory tree of value files on POSIX
// (docs/platform-linux.md). Results are plain booleans; a failure leaves its
// reason as the thread's last error (GetLastError), as the Win32 registry calls
// report it: ERROR_FILE_NOT_FOUND only for a key or value that is not there,
// ERROR_ACCESS_DENIED for one that may not be read or changed,
// ERROR_UNSUPPORTED_TYPE for a value that is there but is no DWORD.
#pragma once

#include <cstdint>

#include "win32api.h"

struct TRegStoreKey;  // opaque, owned by the store

// Opens the key `path` (backslash-separated) below `root`. With `create`, missing
// keys on the way are made. Null on failure.
TRegStoreKey* RegStoreOpen(HKEY root, const char* path, bool create);
// Opens the subkey `name` of an open key. Null on failure.
TRegStoreKey* RegStoreOpenSub(TRegStoreKey* key, const char* name, bool create);
// A missing, unreadable or malformed value gives false and leaves *value alone;
// the last error tells which.
bool RegStoreGetDword(TRegStoreKey* key, const char* name, std::uint32_t* value);
bool RegStoreSetDword(TRegStoreKey* key, const char* name, std::uint32_t value);
bool RegStoreDeleteValue(TRegStoreKey* key, const char* name);
void RegStoreClose(TRegStoreKey* key);
// Whether the key `path` below `root` is there and may be written, found out
// without writing anything: the key is opened for the access a write needs and
// closed again. False when it is missing (ERROR_FILE_NOT_FOUND) or may not be
// written (ERROR_ACCESS_DENIED), with any other failure's own last error.
bool RegStoreCanWrite(HKEY root, const char* path);
// Deletes the key `path` below `root` when it holds no value and no subkey.
// True when the key is gone afterwards; false when it still holds something
// or could not be deleted, with the last error.
bool RegStoreDeleteEmptyKey(HKEY root, const char* path);
