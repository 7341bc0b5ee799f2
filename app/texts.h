// Fixed texts go to the toolkit with their exact lengths; this takes the
// length from the literal so the two never disagree.
#pragma once

#include <cstddef>
#include <cstdint>

template <std::size_t N>
constexpr std::int32_t Len(const char (&)[N]) {
  return static_cast<std::int32_t>(N - 1);
}
