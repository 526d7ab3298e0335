// A block of bytes with one owner: heap memory, or a file mapped privately.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

#include "platform/platform.h"

namespace tarnwick {

class Bytes {
 public:
  Bytes() = default;
  // Raises EOutOfMemory when the memory cannot be had.
  static Bytes allocate(std::size_t size);
  // The first `size` bytes of an open file, mapped for reading until detached;
  // an empty block when the system cannot map it.
  static Bytes map(platform::Handle file, std::size_t size);

  Bytes(Bytes&& other) noexcept { *this = std::move(other); }
  Bytes& operator=(Bytes&& other) noexcept;
  ~Bytes() { release(); }

  char* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::string_view view() const { return {data_, size_}; }
  bool is_mapped() const { return mapped_; }

  // For a mapped block: takes a copy of every page from byte `from` on, so
  // that later changes to that part of the file no longer show through.
  // False when that fails.
  bool detach(std::size_t from) const;

 private:
  void release();

  char* data_ = nullptr;
  std::size_t size_ = 0;
  bool mapped_ = false;
};

// The bytes from the file's current position to its end: mapped from the
// file's start where the system allows, read otherwise. Gives false when the
// size cannot be measured or fewer bytes arrive than were measured.
bool read_rest(platform::Handle handle, Bytes& out);

}  // namespace tarnwick
