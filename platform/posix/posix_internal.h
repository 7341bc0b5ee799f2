// Helpers shared by the POSIX platform layer's translation units; not for the
// program's code.
#pragma once

#include <string>

#include "win32api.h"

// The Win32 error that the program's code expects for a failed system call.
DWORD PosixErrorFromErrno(int err);

// Handles over descriptors (files, pipes, processes): the descriptor becomes
// ours and is closed by CloseHandle; INVALID_HANDLE_VALUE when it cannot be
// kept. The descriptor behind a handle, or -1 when the handle is not ours.
HANDLE PosixAdoptHandle(int fd);
int PosixHandleFd(HANDLE handle);

// The variable's value, or empty when it is unset or empty: an empty override
// must not redirect a root to the current directory.
std::string PosixEnv(const char* name);

// Makes a relative path absolute against the current directory, textually, so
// that paths handed to the program stay valid after it changes directory.
std::string PosixAbsolute(const std::string& path);

// Win32 resource and module names compare without regard to ASCII case.
bool PosixEqualNoCase(const char* a, const char* b);
