// An open file, closed on every way out.
#pragma once

#include "platform/platform.h"

namespace tarnwick {

class OpenFile {
 public:
  explicit OpenFile(platform::Handle handle = platform::kInvalidHandle) : handle_(handle) {}
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() { close(); }

  bool is_open() const { return handle_ >= 0; }
  platform::Handle get() const { return handle_; }
  // For a call that closes the handle itself, and says so by clearing it.
  platform::Handle& handle() { return handle_; }
  void close() { reset(platform::kInvalidHandle); }
  void reset(platform::Handle handle) {
    if (handle_ >= 0) platform::close(handle_);
    handle_ = handle;
  }

 private:
  platform::Handle handle_;
};

}  // namespace tarnwick
