// Text and memory helpers. Every text operation tolerates a null source, a
// negative length or capacity, and a source that overlaps the target: callers
// pass buffers of their own records straight in.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "toolkit.h"

namespace {

std::int32_t NonNegative(std::int32_t n) {
  return n < 0 ? 0 : n;
}

// Characters of `source` before its NUL, at most `limit`.
std::int32_t TextLength(const char* source, std::int32_t limit) {
  std::int32_t n = 0;
  if (source != nullptr) {
    while (n < limit && source[n] != '\0') {
      ++n;
    }
  }
  return n;
}

}  // namespace

namespace Str {

std::int32_t CopyA(std::int32_t capacity, char* target, std::int32_t length, const char* source) {
  if (target == nullptr) {
    return 0;
  }
  const std::int32_t n = TextLength(source, std::min(NonNegative(length), NonNegative(capacity)));
  if (n > 0) {
    std::memmove(target, source, static_cast<std::size_t>(n));
  }
  target[n] = '\0';
  return n;
}

std::int32_t AppendA(std::int32_t capacity, char* target, std::int32_t length, const char* source) {
  if (target == nullptr) {
    return 0;
  }
  const std::int32_t room = NonNegative(capacity);
  // A text already longer than the capacity is cut first, so the result is too.
  const std::int32_t current = TextLength(target, room);
  const std::int32_t n = TextLength(source, std::min(NonNegative(length), room - current));
  if (n > 0) {
    std::memmove(target + current, source, static_cast<std::size_t>(n));
  }
  target[current + n] = '\0';
  return current + n;
}

std::int32_t ConcatA(std::int32_t capacity, char* target, std::int32_t length, const char* source) {
  return AppendA(capacity, target, length, source);
}

std::int32_t PrependA(std::int32_t capacity, char* target, std::int32_t length,
                      const char* source) {
  if (target == nullptr) {
    return 0;
  }
  const std::int32_t room = NonNegative(capacity);
  const std::int32_t front = TextLength(source, std::min(NonNegative(length), room));
  // The source may lie inside the target, which moves first.
  const std::vector<char> head(source, source + front);
  const std::int32_t kept = TextLength(target, room - front);
  if (kept > 0) {
    std::memmove(target + front, target, static_cast<std::size_t>(kept));
  }
  if (front > 0) {
    std::memcpy(target, head.data(), static_cast<std::size_t>(front));
  }
  target[front + kept] = '\0';
  return front + kept;
}

std::int32_t LengthA(const char* text) {
  return TextLength(text, std::numeric_limits<std::int32_t>::max());
}

bool CardToStrA(std::uint32_t value, std::int32_t capacity, char* target, std::int32_t radix,
                std::int32_t flag) {
  if (target == nullptr) {
    return false;
  }
  target[0] = '\0';
  if (radix < 2 || radix > 36) {
    return false;
  }
  const char* digits = (flag & 1) != 0 ? "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                       : "0123456789abcdefghijklmnopqrstuvwxyz";
  char reversed[32];
  std::int32_t n = 0;
  do {
    reversed[n++] = digits[value % static_cast<std::uint32_t>(radix)];
    value /= static_cast<std::uint32_t>(radix);
  } while (value != 0);
  if (n > NonNegative(capacity)) {
    return false;
  }
  for (std::int32_t i = 0; i < n; ++i) {
    target[i] = reversed[n - 1 - i];
  }
  target[n] = '\0';
  return true;
}

}  // namespace Str

namespace Lib {

void Move(const void* source, void* target, std::size_t n) {
  if (n > 0) {
    std::memmove(target, source, n);
  }
}

void Fill(void* target, std::size_t n, std::uint8_t byte) {
  if (n > 0) {
    std::memset(target, byte, n);
  }
}

std::size_t Compare(const void* a, const void* b, std::size_t n) {
  const auto* left = static_cast<const std::uint8_t*>(a);
  const auto* right = static_cast<const std::uint8_t*>(b);
  for (std::size_t i = 0; i < n; ++i) {
    if (left[i] != right[i]) {
      return i;
    }
  }
  return n;
}

}  // namespace Lib

namespace Storage {

bool Allocate(void** pointer, std::size_t size) {
  if (pointer == nullptr) {
    return false;
  }
  // A zero-sized request still gets a block of its own, so success is never null.
  *pointer = std::calloc(size == 0 ? 1 : size, 1);
  return *pointer != nullptr;
}

void Free(void** pointer) {
  if (pointer == nullptr) {
    return;
  }
  std::free(*pointer);
  *pointer = nullptr;
}

}  // namespace Storage
