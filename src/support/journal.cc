#include "support/journal.h"

#include <algorithm>
#include <cstring>

#include "support/bytes.h"
#include "support/failure.h"
#include "support/interrupt_hold.h"

namespace tarnwick {
namespace {

using platform::Handle;

constexpr char kMagic[8] = {'T', 'W', 'J', 'O', 'U', 'R', 'N', '1'};

struct Header {
  char magic[8];
  std::uint64_t file;
  std::uint64_t old_length;
  std::uint64_t saved_offset;
  std::uint64_t saved_length;
  std::uint64_t largest;  // the longest the save can have made the file
  std::uint64_t checksum;
};
static_assert(sizeof(Header) == 56);

// A fast 64-bit hash over 8-byte words: enough to tell a torn or missing write
// from a complete one, not a defence against deliberate forgery.
std::uint64_t checksum(const Header& header, std::string_view saved) {
  constexpr std::uint64_t kPrime = 0x9E3779B97F4A7C15ull;
  std::uint64_t hash = 0;
  const auto mix = [&](std::string_view bytes) {
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
      std::uint64_t word;
      std::memcpy(&word, bytes.data() + i, 8);
      hash = (hash ^ word) * kPrime;
      hash ^= hash >> 29;
    }
    for (; i < bytes.size(); ++i) hash = (hash ^ static_cast<unsigned char>(bytes[i])) * kPrime;
  };
  Header unsummed = header;
  unsummed.checksum = 0;
  mix({reinterpret_cast<const char*>(&unsummed), sizeof unsummed});
  mix(saved);
  return hash ^ (hash >> 32);
}

// Closes its handle on every way out.
class OpenHandle {
 public:
  explicit OpenHandle(Handle handle) : handle_(handle) {}
  OpenHandle(const OpenHandle&) = delete;
  OpenHandle& operator=(const OpenHandle&) = delete;
  ~OpenHandle() {
    if (handle_ >= 0) platform::close(handle_);
  }
  Handle get() const { return handle_; }

 private:
  Handle handle_;
};

}  // namespace

Journal::Journal(const platform::Site& site, Handle target, std::string_view old_text,
                 std::uint64_t saved_offset, std::uint64_t largest)
    : site_(site) {
  {
    const OpenHandle journal(platform::open_companion(site, platform::Companion::kJournal, true));
    if (journal.get() < 0) return;
    const std::string_view saved = old_text.substr(saved_offset);
    platform::FileStamp stamp;
    Header header{};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.old_length = old_text.size();
    header.saved_offset = saved_offset;
    header.saved_length = saved.size();
    header.largest = largest;
    // The file's owner's, and nobody else's: it holds the file's text, and a
    // journal others could change would be played back as the file's. Where
    // this user may not give it away it stays theirs, and only their own
    // runs will play it back.
    platform::adopt_owner(target, journal.get());
    kept_ = platform::stamp(target, stamp);
    header.file = stamp.file;
    header.checksum = checksum(header, saved);
    kept_ = kept_ &&
            platform::write_at(journal.get(), 0, {reinterpret_cast<const char*>(&header), sizeof header}) &&
            platform::write_at(journal.get(), sizeof header, saved) && platform::sync(journal.get());
  }
  kept_ = kept_ && platform::sync_directory(site);
  // A journal begun and left would take the file back to its old text later.
  if (!kept_ && !platform::remove_companion(site, platform::Companion::kJournal)) {
    raise_failure(Kind::EWriteError, "Stream write error");
  }
}

bool Journal::remove() {
  if (kept_ && !platform::remove_companion(site_, platform::Companion::kJournal)) return false;
  kept_ = false;
  return true;
}

namespace {

// Reads the journal beside the file at `site`: false when there is none.
// `complete` tells whether it is whole and checks out; then `header` and
// `saved` hold it. A journal that cannot be read raises EFOpenError: it may
// hold the only old text.
bool read_journal(const platform::Site& site, const std::string& path, Header& header, Bytes& saved,
                  bool& complete) {
  const OpenHandle journal(platform::open_companion(site, platform::Companion::kJournal, false));
  const auto read_error = [&] { raise_failure(Kind::EFOpenError, "Cannot open file ", path); };
  if (journal.get() < 0) {
    if (platform::last_error() == platform::kErrorFileNotFound) return false;
    read_error();
  }
  const std::int64_t size = platform::seek(journal.get(), 0, platform::SeekFrom::kEnd);
  if (size < 0 || platform::seek(journal.get(), 0, platform::SeekFrom::kBegin) != 0) read_error();
  const auto head = static_cast<std::int64_t>(std::min<std::uint64_t>(size, sizeof header));
  if (platform::read(journal.get(), reinterpret_cast<char*>(&header), static_cast<std::size_t>(head)) != head) {
    read_error();
  }
  complete = head == static_cast<std::int64_t>(sizeof header) &&
             std::memcmp(header.magic, kMagic, sizeof kMagic) == 0 &&
             header.saved_length == static_cast<std::uint64_t>(size) - sizeof header &&
             header.saved_offset <= header.old_length &&
             header.saved_length == header.old_length - header.saved_offset;
  if (!complete) return true;
  saved = Bytes::allocate(header.saved_length);
  if (platform::read(journal.get(), saved.data(), saved.size()) != static_cast<std::int64_t>(saved.size())) {
    read_error();
  }
  complete = checksum(header, saved.view()) == header.checksum;
  return true;
}

}  // namespace

void recover_journal(const platform::Site& site, const std::string& path) {
  Header header{};
  Bytes saved;
  bool complete = false;
  if (!read_journal(site, path, header, saved, complete)) return;
  const auto open_error = [&] { raise_failure(Kind::EFOpenError, "Cannot open file ", path); };
  const InterruptHold hold;
  if (complete) {
    const OpenHandle target(platform::open_for_update(site));
    platform::FileStamp stamp;
    if (target.get() < 0 || !platform::stamp(target.get(), stamp)) open_error();
    // A journal kept for a file since replaced by another, or since written
    // to a length the save could not have left, is of no use to it: the file
    // is as someone made it after the run died. Otherwise the saved bytes are
    // the file's old bytes from the offset on: written back and cut to the
    // old length, the file holds its old text.
    const bool as_left = stamp.file == header.file && stamp.size >= header.saved_offset &&
                         stamp.size <= header.largest;
    if (as_left &&
        !(platform::write_at(target.get(), static_cast<std::int64_t>(header.saved_offset), saved.view()) &&
          platform::truncate(target.get(), static_cast<std::int64_t>(header.old_length)) &&
          platform::sync(target.get()))) {
      open_error();
    }
  }
  // An incomplete journal that cannot go is harmless: the file was never
  // touched, and the save goes on without a journal of its own.
  if (!platform::remove_companion(site, platform::Companion::kJournal) && complete) open_error();
}

}  // namespace tarnwick
