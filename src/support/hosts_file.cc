#include "support/hosts_file.h"

#include <cstring>

#include "platform/platform.h"
#include "support/failure.h"

namespace tarnwick {
namespace {

using platform::Handle;

// Closes its handle on every way out.
class OpenFile {
 public:
  explicit OpenFile(Handle handle) : handle_(handle) {}
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() { close(); }

  Handle get() const { return handle_; }
  void close() { reset(platform::kInvalidHandle); }
  void reset(Handle handle) {
    if (handle_ >= 0) platform::close(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_;
};

// A temporary file that is closed and removed unless it has taken the target's
// place.
class TemporaryFile {
 public:
  explicit TemporaryFile(Handle handle) : file_(handle) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    file_.close();
    platform::discard_temporary();
  }

  OpenFile& file() { return file_; }

 private:
  OpenFile file_;
};

// The bytes from the file's current position to its end: mapped when
// `may_map` and the system allows, read otherwise. Gives false when the size
// cannot be measured or fewer bytes arrive than were measured.
bool read_rest(Handle handle, Bytes& out, bool may_map) {
  const std::int64_t here = platform::seek(handle, 0, platform::SeekFrom::kCurrent);
  const std::int64_t size = platform::seek(handle, 0, platform::SeekFrom::kEnd);
  const std::int64_t back = platform::seek(handle, here, platform::SeekFrom::kBegin);
  const std::int64_t position = platform::seek(handle, 0, platform::SeekFrom::kCurrent);
  // A position that did not come back would make the file look shorter.
  if (here < 0 || size < 0 || back != here || position != here || size < position) return false;
  const auto count = static_cast<std::size_t>(size - position);
  if (may_map && position == 0) {
    out = Bytes::map(handle, count);
    if (out.is_mapped()) return true;
  }
  out = Bytes::allocate(count);
  return platform::read(handle, out.data(), count) == static_cast<std::int64_t>(count);
}

[[noreturn]] void raise_write_error() { raise_failure(Kind::EWriteError, "Stream write error"); }

// Writes the text to a temporary file beside the target and moves it into the
// target's place. Gives false, with the target untouched, where that route is
// refused or would change the target's identity.
bool replace_through_temporary(const std::string& target, OpenFile& file,
                               const LineList& list, Bytes& staging) {
  TemporaryFile temporary(platform::create_temporary_beside(target.c_str()));
  const Handle handle = temporary.file().get();
  if (handle < 0 || !platform::adopt_identity(handle, file.get())) return false;
  const bool written = list.write_joined(staging, [&](std::string_view piece) {
    return platform::write(handle, piece);
  });
  if (!written || !platform::sync(handle)) raise_write_error();
  temporary.file().close();
  // The target is let go first: a system may refuse to replace an open file.
  file.close();
  return platform::replace_with_temporary(target.c_str());
}

// Writes the text over the file without emptying it first; on failure the
// former bytes are written back.
void rewrite_in_place(const OpenFile& file, const LineList& list, Bytes& staging) {
  const Handle handle = file.get();
  // A copy of the former bytes, and a text that no longer shows the file.
  Bytes former;
  if (platform::seek(handle, 0, platform::SeekFrom::kBegin) != 0 ||
      !read_rest(handle, former, false) || !list.detach_text()) {
    raise_write_error();
  }
  std::int64_t offset = 0;
  const bool written = list.write_joined(staging, [&](std::string_view piece) {
    if (!platform::write_at(handle, offset, piece)) return false;
    offset += static_cast<std::int64_t>(piece.size());
    return true;
  });
  if (written && platform::truncate(handle, offset) && platform::sync(handle)) return;
  platform::write_at(handle, 0, former.view());
  platform::truncate(handle, static_cast<std::int64_t>(former.size()));
  platform::sync(handle);
  raise_write_error();
}

}  // namespace

void split_text(Bytes text, LineList& list) {
  // The text ends at its first NUL byte.
  const std::size_t nul = text.view().find('\0');
  const std::size_t length = nul == std::string_view::npos ? text.size() : nul;
  list.assign(std::move(text), length);
}

Bytes join_lines(const LineList& list) {
  Bytes no_staging;  // every piece goes straight into the text
  std::size_t total = 0;
  list.write_joined(no_staging, [&](std::string_view piece) {
    total += piece.size();
    return true;
  });
  Bytes text = Bytes::allocate(total);
  char* out = text.data();
  list.write_joined(no_staging, [&](std::string_view piece) {
    std::memcpy(out, piece.data(), piece.size());
    out += piece.size();
    return true;
  });
  return text;
}

bool is_existing_file(const std::string& path) { return platform::is_existing_file(path.c_str()); }

void load_lines(const std::string& path, LineList& list) {
  OpenFile file(platform::open_for_reading(path.c_str()));
  if (file.get() < 0) raise_failure(Kind::EFOpenError, "Cannot open file ", path);
  Bytes text;
  if (!read_rest(file.get(), text, true)) raise_failure(Kind::EReadError, "Stream read error");
  // A NUL byte cannot be held in a line list: the bytes after it would be lost.
  if (std::memchr(text.data(), 0, text.size()) != nullptr) {
    raise_failure(Kind::EReadError, "Cannot read file ", path, ": it holds a NUL byte");
  }
  file.close();
  const std::size_t length = text.size();
  list.assign(std::move(text), length);
}

void save_lines(const LineList& list, const std::string& path) {
  // Everything the save needs from memory is had before the file is touched.
  constexpr std::size_t kStagingSize = 256 * 1024;
  Bytes staging = Bytes::allocate(kStagingSize);
  const std::string target = platform::resolve_target(path.c_str());
  OpenFile file(platform::open_for_update(target.c_str()));
  if (file.get() < 0) raise_failure(Kind::EFCreateError, "Cannot create file ", path);
  if (replace_through_temporary(target, file, list, staging)) return;
  if (file.get() < 0) file.reset(platform::open_for_update(target.c_str()));
  if (file.get() < 0) raise_failure(Kind::EFCreateError, "Cannot create file ", path);
  rewrite_in_place(file, list, staging);
}

}  // namespace tarnwick
