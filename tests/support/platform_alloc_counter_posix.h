// Counts heap allocations made through operator new in this test program, for
// tests of code that must not allocate. The replacement operators live in
// platform_alloc_counter_posix.cpp; a program must not define its own as well.
#pragma once

#include <cstddef>

// Allocations made by the calling thread so far.
std::size_t PlatformAllocationCount();
