// Texts in fixed buffers, written whole or not at all: a text that would
// not fit is never cut short and handed on.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

// Formats a text into a fixed buffer. One that would not fit whole leaves
// the buffer empty, and the result is false.
template <std::size_t N, typename... Args>
bool FormatInto(char (&buffer)[N], const char* format, Args... args) {
  // msvcrt's own formatter (see platform.h): a text that does not fit gives
  // -1, or fills the buffer without a terminator.
  const int length = _snprintf(buffer, N, format, args...);
  if (length < 0 || static_cast<std::size_t>(length) >= N) {
    buffer[0] = '\0';
    return false;
  }
  return true;
}

// Appends a text to the one in a fixed buffer. One that would not fit whole
// leaves the buffer as it was, and the result is false.
template <std::size_t N>
bool AppendTo(char (&buffer)[N], const char* text) {
  const std::size_t used = std::strlen(buffer);
  const std::size_t length = std::strlen(text);
  if (used + length >= N) return false;
  std::memcpy(buffer + used, text, length + 1);
  return true;
}
