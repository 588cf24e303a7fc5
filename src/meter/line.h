// Console text built in memory before it is written: one status line, or a
// message, in a fixed buffer that never grows; and pieces of a line kept
// from one period's line to the next.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

struct Line {
  // Room for the longest status line: "%.0f" of the largest float is 39
  // digits, and "%.2f" of a 32-bit frame count over a rate of 1 is 13
  // characters.
  static constexpr std::size_t kBytes = 256;
  std::array<char, kBytes> text;
  std::size_t length = 0;

  void Append(const char* s, std::size_t n) {
    n = std::min(n, kBytes - length);
    std::memcpy(text.data() + length, s, n);
    length += n;
  }
  void Append(std::string_view s) { Append(s.data(), s.size()); }
  template <typename... Args>
  void Print(const char* format, Args... args) {
    const int n =
        std::snprintf(text.data() + length, kBytes - length, format, args...);
    if (n > 0) length += std::min<std::size_t>(n, kBytes - length - 1);
  }
  std::string_view View() const { return {text.data(), length}; }
};

// A piece of text that depends on one value, formatted again only when the
// value changes: the range label and the held-peak figures stay the same
// for many periods, and printf's float formatting is the dearest step of a
// status line.
struct CachedText {
  uint32_t key = 0;
  bool valid = false;
  std::array<char, 64> text{};
  std::size_t length = 0;

  template <typename Format>
  void Append(Line& line, uint32_t newKey, Format format) {
    if (!valid || key != newKey) {
      const int n = format(text.data(), text.size());
      length = n > 0 ? std::min<std::size_t>(n, text.size() - 1) : 0;
      key = newKey;
      valid = true;
    }
    line.Append(text.data(), length);
  }
};
