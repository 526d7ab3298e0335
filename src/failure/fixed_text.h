// A text built in a fixed buffer, for paths that must not need the heap.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tarnwick {

// Appends are cut silently once the capacity is reached.
template <std::size_t Capacity>
class FixedText {
 public:
  FixedText& operator<<(std::string_view text) {
    const std::size_t n = std::min(text.size(), Capacity - length_);
    if (n != 0) std::memcpy(bytes_ + length_, text.data(), n);
    length_ += n;
    return *this;
  }

  // At least `digits` upper-case hexadecimal digits, more when the value needs them.
  FixedText& hex(std::uint64_t value, int digits = 8) {
    char buffer[16];
    int n = 0;
    do {
      buffer[n++] = "0123456789ABCDEF"[value & 15];
      value >>= 4;
    } while (value != 0 || n < digits);
    while (n > 0) *this << std::string_view(&buffer[--n], 1);
    return *this;
  }

  // Decimal, right-aligned in `width` columns.
  FixedText& decimal(std::int64_t value, int width = 0) {
    char buffer[24];
    int n = 0;
    std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : value;
    do {
      buffer[n++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) buffer[n++] = '-';
    for (int pad = width - n; pad > 0; --pad) *this << " ";
    while (n > 0) *this << std::string_view(&buffer[--n], 1);
    return *this;
  }

  std::string_view view() const { return {bytes_, length_}; }

 private:
  char bytes_[Capacity];
  std::size_t length_ = 0;
};

}  // namespace tarnwick
