#include "support/hosts_file.h"

#include <algorithm>
#include <cstring>

#include "support/failure.h"
#include "support/interrupt_hold.h"
#include "support/journal.h"

namespace tarnwick {

using platform::Handle;

// Closes its handle on every way out.
class OpenFile {
 public:
  explicit OpenFile(Handle handle) : handle_(handle) {}
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() { close(); }

  Handle get() const { return handle_; }
  Handle& handle() { return handle_; }
  void close() { reset(platform::kInvalidHandle); }
  void reset(Handle handle) {
    if (handle_ >= 0) platform::close(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_;
};

namespace {

// A temporary file that is closed, and removed if it has a name, unless it has
// taken the target's place.
class TemporaryFile : public OpenFile {
 public:
  using OpenFile::OpenFile;
  ~TemporaryFile() {
    close();
    platform::discard_temporary();
  }
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
[[noreturn]] void raise_create_error(const std::string& path) {
  raise_failure(Kind::EFCreateError, "Cannot create file ", path);
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

HostsFile::Place::~Place() {
  if (found) platform::close(site.directory);
}

HostsFile::HostsFile(std::string path) : path_(std::move(path)) {
  // A path that names no file is left to the existence test and the load.
  place_.found = platform::locate(path_.c_str(), place_.site);
  if (!place_.found) return;
  lock_.take(place_.site, path_);
  recover_journal(place_.site, path_);
  // The name a run gives its new text for the instant before the rename, left
  // where a run died in that instant.
  platform::remove_companion(place_.site, platform::Companion::kTemporary);
}

void HostsFile::load(LineList& list) {
  OpenFile file(platform::open_for_reading(path_.c_str()));
  if (file.get() < 0) raise_failure(Kind::EFOpenError, "Cannot open file ", path_);
  Bytes text;
  if (!platform::stamp(file.get(), loaded_) || !read_rest(file.get(), text, true)) {
    raise_failure(Kind::EReadError, "Stream read error");
  }
  // A NUL byte cannot be held in a line list: the bytes after it would be lost.
  if (std::memchr(text.data(), 0, text.size()) != nullptr) {
    raise_failure(Kind::EReadError, "Cannot read file ", path_, ": it holds a NUL byte");
  }
  file.close();
  was_loaded_ = true;
  const std::size_t length = text.size();
  list.assign(std::move(text), length);
}

bool HostsFile::unchanged(Handle file) const {
  platform::FileStamp now;
  return was_loaded_ && platform::stamp(file, now) && now == loaded_;
}

// Stops a save, before it writes the file, when another program has written
// the file meanwhile: that change is not overwritten. The save's journal goes.
void HostsFile::stop_if_changed(Handle file, Journal& journal) const {
  if (unchanged(file)) return;
  journal.remove();
  raise_create_error(path_);
}

void HostsFile::save(const LineList& list) {
  // Exactly the file that was loaded, as it was loaded: not a file put in its
  // place since, and not one another program has written meanwhile.
  OpenFile target(place_.found ? platform::open_for_update(place_.site) : platform::kInvalidHandle);
  if (target.get() < 0 || !unchanged(target.get())) raise_create_error(path_);
  // A text already in its written form only grows: what it gains is
  // appended, and a text that gains nothing is not written at all.
  const bool grows = list.extends_loaded_text();
  const std::string appended = grows ? list.appended_text() : std::string();
  if (grows && appended.empty()) return;
  const InterruptHold hold;
  if (grows && append(target, list.loaded_text(), appended)) return;
  // What writing the whole text needs from memory is had before it begins.
  constexpr std::size_t kStagingSize = 256 * 1024;
  Bytes staging = Bytes::allocate(kStagingSize);
  if (replace_through_temporary(target, list, staging)) return;
  if (target.get() < 0) target.reset(platform::open_for_update(place_.site));
  if (target.get() < 0 || !unchanged(target.get())) raise_create_error(path_);
  rewrite_in_place(target, list, staging);
}

// Writes the text to a temporary file beside the target and moves it into the
// target's place. Gives false, with the target untouched, where that route is
// refused or would change the target's identity.
bool HostsFile::replace_through_temporary(OpenFile& target, const LineList& list, Bytes& staging) {
  TemporaryFile temporary(platform::create_temporary(place_.site));
  const Handle handle = temporary.get();
  if (handle < 0 || !platform::copy_metadata(target.get(), handle)) return false;
  const bool written = list.write_joined(staging, [&](std::string_view piece) {
    return platform::write(handle, piece);
  });
  if (!written || !platform::sync(handle)) raise_write_error();
  // Written meanwhile by another program: its change is not thrown away.
  if (!unchanged(target.get())) raise_create_error(path_);
  // The target is let go first: a system may refuse to replace an open file.
  target.close();
  return platform::replace_with_temporary(place_.site, temporary.handle());
}

// Appends `appended` to the file, whose content is `old_text`, journalled so
// that a run that dies halfway has the file cut back to the old length. Gives
// false, with the file untouched, where no journal can be kept.
bool HostsFile::append(const OpenFile& target, std::string_view old_text, std::string_view appended) {
  const Handle handle = target.get();
  const auto old_length = static_cast<std::int64_t>(old_text.size());
  Journal journal(place_.site, handle, old_text, old_text.size(), old_text.size() + appended.size());
  if (!journal.kept()) return false;
  stop_if_changed(handle, journal);
  if (platform::write_at(handle, old_length, appended) && platform::sync(handle) && journal.remove()) return true;
  if (platform::truncate(handle, old_length) && platform::sync(handle)) journal.remove();
  raise_write_error();
}

// Writes the text over the file, journalled; on failure the old text is
// written back.
void HostsFile::rewrite_in_place(const OpenFile& target, const LineList& list, Bytes& staging) {
  const Handle handle = target.get();
  // The loaded text is the file's content, and must no longer show the file
  // once the file is written over.
  if (!list.detach_text()) raise_write_error();
  const std::string_view old_text = list.loaded_text();
  // A rewrite never makes the file longer than the old text and the new one.
  std::uint64_t new_length = 0;
  Bytes no_staging;  // counted, not copied
  list.write_joined(no_staging, [&](std::string_view piece) {
    new_length += piece.size();
    return true;
  });
  Journal journal(place_.site, handle, old_text, 0, std::max<std::uint64_t>(old_text.size(), new_length));
  stop_if_changed(handle, journal);
  std::int64_t offset = 0;
  const bool written = list.write_joined(staging, [&](std::string_view piece) {
    if (!platform::write_at(handle, offset, piece)) return false;
    offset += static_cast<std::int64_t>(piece.size());
    return true;
  });
  if (written && platform::truncate(handle, offset) && platform::sync(handle) && journal.remove()) return;
  // Where putting the old text back fails too, the journal stays for the next run.
  if (platform::write_at(handle, 0, old_text) && platform::truncate(handle, static_cast<std::int64_t>(old_text.size())) &&
      platform::sync(handle)) {
    journal.remove();
  }
  raise_write_error();
}

}  // namespace tarnwick
