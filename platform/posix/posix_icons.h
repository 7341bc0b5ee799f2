// Icons on POSIX: LoadImageA hands out a handle to one of these records; the
// toolkit peer that draws maps the name and size to a picture of its own.
#pragma once

#include "win32api.h"

struct TPosixIcon {
  const char* Name;  // the resource name, as the program's resources spell it
  int Width;
  int Height;
};

// The record behind a LoadImageA handle; null for any other handle.
const TPosixIcon* PosixIconFromHandle(HANDLE handle);
