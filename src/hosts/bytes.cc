#include "hosts/bytes.h"

namespace tarnwick {

Bytes Bytes::allocate(std::size_t size) {
  Bytes bytes;
  bytes.data_ = new char[size == 0 ? 1 : size];
  bytes.size_ = size;
  return bytes;
}

Bytes Bytes::map(platform::Handle file, std::size_t size) {
  Bytes bytes;
  if (size == 0) return bytes;
  bytes.data_ = platform::map_file(file, size);
  if (bytes.data_ == nullptr) return bytes;
  bytes.size_ = size;
  bytes.mapped_ = true;
  return bytes;
}

Bytes& Bytes::operator=(Bytes&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, false);
  }
  return *this;
}

bool Bytes::detach(std::size_t from) const { return !mapped_ || platform::detach_mapping(data_, size_, from); }

bool read_rest(platform::Handle handle, Bytes& out) {
  const std::int64_t here = platform::seek(handle, 0, platform::SeekFrom::kCurrent);
  const std::int64_t size = platform::seek(handle, 0, platform::SeekFrom::kEnd);
  const std::int64_t back = platform::seek(handle, here, platform::SeekFrom::kBegin);
  const std::int64_t position = platform::seek(handle, 0, platform::SeekFrom::kCurrent);
  // A position that did not come back would make the file look shorter.
  if (here < 0 || size < 0 || back != here || position != here || size < position) return false;
  const auto count = static_cast<std::size_t>(size - position);
  if (position == 0) {
    out = Bytes::map(handle, count);
    if (out.is_mapped()) return true;
  }
  out = Bytes::allocate(count);
  return platform::read(handle, out.data(), count) == static_cast<std::int64_t>(count);
}

void Bytes::release() {
  if (mapped_) {
    platform::unmap_file(data_, size_);
  } else {
    delete[] data_;
  }
  data_ = nullptr;
  size_ = 0;
  mapped_ = false;
}

}  // namespace tarnwick
