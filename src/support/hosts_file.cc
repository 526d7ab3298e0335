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
  void close() {
    if (handle_ >= 0) platform::close(handle_);
    handle_ = platform::kInvalidHandle;
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

// The bytes from the file's current position to its end. Gives false when the
// size cannot be measured or fewer bytes arrive than were measured.
bool read_rest(Handle handle, Bytes& out) {
  const std::int64_t here = platform::seek(handle, 0, platform::SeekFrom::kCurrent);
  const std::int64_t size = platform::seek(handle, 0, platform::SeekFrom::kEnd);
  platform::seek(handle, here, platform::SeekFrom::kBegin);
  const std::int64_t position = platform::seek(handle, 0, platform::SeekFrom::kCurrent);
  if (here < 0 || size < 0 || position < 0 || size < position) return false;
  out.size = static_cast<std::size_t>(size - position);
  out.data.reset(new char[out.size]);
  return platform::read(handle, out.data.get(), out.size) == static_cast<std::int64_t>(out.size);
}

[[noreturn]] void raise_write_error() { raise_failure(Kind::EWriteError, "Stream write error"); }

// Writes the text to a temporary file beside the target and moves it into the
// target's place. Gives false, with the target untouched, where that route is
// refused or would change the target's identity.
bool replace_through_temporary(const std::string& target, const OpenFile& file,
                               std::string_view text) {
  TemporaryFile temporary(platform::create_temporary_beside(target.c_str()));
  const Handle handle = temporary.file().get();
  if (handle < 0 || !platform::adopt_identity(handle, file.get())) return false;
  if ((!text.empty() && !platform::write(handle, text)) || !platform::sync(handle)) {
    raise_write_error();
  }
  temporary.file().close();
  return platform::replace_with_temporary(target.c_str());
}

// Writes the text over the file without emptying it first; on failure the
// former bytes are written back.
void rewrite_in_place(const OpenFile& file, std::string_view text) {
  const Handle handle = file.get();
  Bytes former;
  if (platform::seek(handle, 0, platform::SeekFrom::kBegin) != 0 || !read_rest(handle, former)) {
    raise_write_error();
  }
  const auto size = static_cast<std::int64_t>(text.size());
  if (platform::write_at(handle, 0, text) && platform::truncate(handle, size) &&
      platform::sync(handle)) {
    return;
  }
  platform::write_at(handle, 0, former.view());
  platform::truncate(handle, static_cast<std::int64_t>(former.size));
  platform::sync(handle);
  raise_write_error();
}

}  // namespace

void split_text(Bytes text, LineList& list) {
  const char* p = text.data.get();
  const char* end = p + text.size;
  if (const void* nul = text.size == 0 ? nullptr : std::memchr(p, 0, text.size)) {
    end = static_cast<const char*>(nul);
  }
  list.reset(std::move(text));
  while (p < end) {
    const char* line = p;
    while (p < end && *p != '\r' && *p != '\n') ++p;
    list.append_view({line, static_cast<std::size_t>(p - line)});
    if (p < end && *p == '\r') ++p;
    if (p < end && *p == '\n') ++p;
  }
}

Bytes join_lines(const LineList& list) {
  std::size_t total = 0;
  for (std::int64_t i = 0; i < list.count(); ++i) total += list.get(i).size() + 2;
  Bytes text{std::unique_ptr<char[]>(new char[total]), total};
  char* out = text.data.get();
  for (std::int64_t i = 0; i < list.count(); ++i) {
    const std::string_view line = list.get(i);
    std::memcpy(out, line.data(), line.size());
    out += line.size();
    *out++ = '\r';
    *out++ = '\n';
  }
  return text;
}

bool is_existing_file(const std::string& path) { return platform::is_existing_file(path.c_str()); }

void load_lines(const std::string& path, LineList& list) {
  OpenFile file(platform::open_for_reading(path.c_str()));
  if (file.get() < 0) raise_failure(Kind::EFOpenError, "Cannot open file ", path);
  Bytes text;
  if (!read_rest(file.get(), text)) raise_failure(Kind::EReadError, "Stream read error");
  // A NUL byte cannot be held in a line list: the bytes after it would be lost.
  if (std::memchr(text.data.get(), 0, text.size) != nullptr) {
    raise_failure(Kind::EReadError, "Cannot read file ", path, ": it holds a NUL byte");
  }
  file.close();
  split_text(std::move(text), list);
}

void save_lines(const LineList& list, const std::string& path) {
  const Bytes text = join_lines(list);
  const std::string target = platform::resolve_target(path.c_str());
  OpenFile file(platform::open_for_update(target.c_str()));
  if (file.get() < 0) raise_failure(Kind::EFCreateError, "Cannot create file ", path);
  if (!replace_through_temporary(target, file, text.view())) rewrite_in_place(file, text.view());
}

}  // namespace tarnwick
