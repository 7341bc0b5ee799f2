// The Win32 API as pelwin uses it: the real SDK headers.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format off
#include <setupapi.h>
#include <dbt.h>
#include <winsvc.h>
// clang-format on
