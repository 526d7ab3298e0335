#include "support/bytes.h"

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

bool Bytes::detach() const { return !mapped_ || platform::detach_mapping(data_, size_); }

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
