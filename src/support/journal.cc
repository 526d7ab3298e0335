#include "support/journal.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "support/bytes.h"
#include "support/failure.h"
#include "support/interrupt_hold.h"
#include "support/open_file.h"

namespace tarnwick {
namespace {

using platform::Handle;

constexpr char kMagic[8] = {'T', 'W', 'J', 'O', 'U', 'R', 'N', '2'};
// The unit a power cut keeps or loses whole: a disk sector. Appends start in
// the middle of one, so a page would be too coarse.
constexpr std::uint64_t kUnit = 512;

struct Header {
  char magic[8];
  std::uint64_t file;
  std::uint64_t old_length;
  std::uint64_t new_length;
  std::uint64_t offset;
  std::uint64_t capability_size;  // what writing takes from the file, put back with the old text
  char capability[sizeof platform::Capability::bytes];
  std::uint64_t checksum;
};
static_assert(sizeof(Header) == 120);

// Where the parts of a journal lie, from its header.
struct Layout {
  std::uint64_t old_length, new_length, offset;

  std::uint64_t shorter() const { return std::min(old_length, new_length); }
  std::uint64_t longer() const { return std::max(old_length, new_length); }
  // From here on the new bytes are kept whole: every unit below lies within
  // both texts, so a power cut leaves it whole or not at all.
  std::uint64_t tail_at() const { return std::max(offset, shorter() / kUnit * kUnit); }
  std::uint64_t first_unit() const { return offset / kUnit; }
  std::uint64_t units() const { return tail_at() > offset ? tail_at() / kUnit - first_unit() : 0; }
  std::uint64_t saved_length() const { return old_length - offset; }
  std::uint64_t tail_length() const { return new_length - tail_at(); }
  std::uint64_t size() const { return sizeof(Header) + saved_length() + units() * 8 + tail_length(); }
  bool valid() const { return offset <= shorter(); }
};

// A fast 64-bit hash in four lanes: enough to tell a unit, or a journal, from
// another one, not a defence against deliberate forgery.
std::uint64_t hash(std::string_view bytes, std::uint64_t seed = 0) {
  constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ull, kPrime2 = 0xC2B2AE3D27D4EB4Full;
  const auto word = [&](std::size_t at) {
    std::uint64_t w;
    std::memcpy(&w, bytes.data() + at, 8);
    return w;
  };
  const auto round = [](std::uint64_t lane, std::uint64_t w) {
    lane += w * kPrime2;
    return ((lane << 31) | (lane >> 33)) * kPrime1;
  };
  std::uint64_t lanes[4] = {seed + kPrime1 + kPrime2, seed + kPrime2, seed, seed - kPrime1};
  std::size_t i = 0;
  for (; i + 32 <= bytes.size(); i += 32) {
    for (int k = 0; k < 4; ++k) lanes[k] = round(lanes[k], word(i + 8 * k));
  }
  std::uint64_t h = bytes.size();
  for (int k = 0; k < 4; ++k) h = round(h ^ lanes[k], lanes[k] >> 7);
  for (; i + 8 <= bytes.size(); i += 8) h = round(h, word(i));
  for (; i < bytes.size(); ++i) h = round(h, static_cast<unsigned char>(bytes[i]));
  h ^= h >> 33;
  h *= kPrime2;
  return h ^ (h >> 29);
}

std::string_view as_bytes(const std::vector<std::uint64_t>& words) {
  return {reinterpret_cast<const char*>(words.data()), words.size() * 8};
}

// A journal's content, as made by a save or read back by a later run.
struct Content {
  Header header{};
  Bytes saved;                       // the old bytes from the offset
  std::vector<std::uint64_t> units;  // the new bytes' checksums, unit by unit
  Bytes tail;                        // the new bytes from tail_at() on

  Layout layout() const { return {header.old_length, header.new_length, header.offset}; }
  // Of the whole journal, whose old bytes are `old_bytes`.
  std::uint64_t checksum(std::string_view old_bytes) const {
    Header unsummed = header;
    unsummed.checksum = 0;
    std::uint64_t sum = hash({reinterpret_cast<const char*>(&unsummed), sizeof unsummed});
    for (const std::string_view part : {old_bytes, as_bytes(units), tail.view()}) sum = hash(part, sum);
    return sum;
  }
};

// Takes the new text piece by piece: the checksum of each unit from the
// offset up to tail_at(), and the bytes from there on.
class NewBytes {
 public:
  NewBytes(const Layout& layout, Content& content) : layout_(layout), content_(content) {}

  bool take(std::string_view piece) {
    while (!piece.empty()) {
      std::size_t n = piece.size();
      if (at_ < layout_.offset) {
        n = static_cast<std::size_t>(std::min<std::uint64_t>(n, layout_.offset - at_));
      } else if (at_ < layout_.tail_at()) {
        const std::uint64_t unit = at_ / kUnit;
        const std::uint64_t unit_end = std::min((unit + 1) * kUnit, layout_.tail_at());
        n = static_cast<std::size_t>(std::min<std::uint64_t>(n, unit_end - at_));
        std::uint64_t& sum = content_.units[unit - layout_.first_unit()];
        if (buffered_ == 0 && at_ + n == unit_end && at_ == std::max(unit * kUnit, layout_.offset)) {
          sum = hash(piece.substr(0, n));  // a whole unit in one piece
        } else {
          std::memcpy(unit_ + buffered_, piece.data(), n);
          buffered_ += n;
          if (at_ + n == unit_end) sum = hash({unit_, buffered_}), buffered_ = 0;
        }
      } else {
        std::memcpy(content_.tail.data() + (at_ - layout_.tail_at()), piece.data(), n);
      }
      at_ += n;
      piece.remove_prefix(n);
    }
    return true;
  }

 private:
  const Layout& layout_;
  Content& content_;
  std::uint64_t at_ = 0;
  char unit_[kUnit];
  std::size_t buffered_ = 0;
};

// What a file is to a journal: a state its save can have left (the old text,
// the new one, or a mix of the two: torn), or one it cannot (foreign).
enum class State { kOld, kNew, kTorn, kForeign };

// A save journalled as `content` can leave a length between the old and the
// new, and unit by unit from the offset either the bytes it writes (the new
// text, then what stood after it in the old text until the file is cut to
// length; or zeros there, since cutting a file zeroes the rest of the block
// its new end falls in at once, and a power cut may keep that without the
// new length), or the old text, past whose end stand bytes not written yet
// (zeros) or, once the old text has been written back over a longer new one,
// the new bytes until the file is cut.
State state_of(const Content& content, std::string_view file) {
  const Layout layout = content.layout();
  if (file.size() < layout.shorter() || file.size() > layout.longer()) return State::kForeign;
  const auto old_byte = [&](std::uint64_t at) { return content.saved.data()[at - layout.offset]; };
  const auto written_byte = [&](std::uint64_t at) {
    return at < layout.new_length ? content.tail.data()[at - layout.tail_at()] : old_byte(at);
  };
  const auto all = [&](std::uint64_t from, std::uint64_t to, const auto& expected) {
    for (std::uint64_t at = from; at < to; ++at) {
      if (file[at] != expected(at)) return false;
    }
    return true;
  };
  const auto zero = [](std::uint64_t) { return '\0'; };
  bool all_old = file.size() == layout.old_length, all_new = file.size() == layout.new_length;
  for (std::uint64_t unit = layout.first_unit(); unit * kUnit < file.size(); ++unit) {
    const std::uint64_t start = std::max(unit * kUnit, layout.offset);
    const std::uint64_t end = std::min((unit + 1) * kUnit, static_cast<std::uint64_t>(file.size()));
    if (start >= end) continue;
    const std::uint64_t old_end = std::clamp(layout.old_length, start, end);
    const bool old = all(start, old_end, old_byte) && (all(old_end, end, zero) || all(old_end, end, written_byte));
    const std::uint64_t new_end = std::clamp(layout.new_length, start, end);
    const bool written = end <= layout.tail_at()
                             ? hash(file.substr(start, end - start)) == content.units[unit - layout.first_unit()]
                             : all(start, new_end, written_byte) && (all(new_end, end, old_byte) || all(new_end, end, zero));
    if (!old && !written) return State::kForeign;
    all_old = all_old && old;
    all_new = all_new && written;
  }
  return all_old ? State::kOld : all_new ? State::kNew : State::kTorn;
}

bool remove_durably(const platform::Site& site) {
  return platform::remove_companion(site, platform::Companion::kJournal) && platform::sync_directory(site);
}

// What a run finds at a journal's name.
struct Found {
  bool exists = false;    // a journal this user may read
  bool reachable = true;  // nothing is there that this user may not read
  bool trusted = false;   // made by a run trusted with the file
  bool complete = false;  // whole, and it checks out: then the content holds it
  bool administrators = false;
};

// Reads the journal at `journal` of the file at `file`. One that cannot be
// read once opened raises EFOpenError: it may hold the only old text.
Found read_journal(const platform::Site& journal_site, const platform::Site& file_site, const std::string& path,
                   Content& content) {
  Found found;
  const OpenFile journal(platform::open_journal(journal_site, file_site, found.trusted));
  if (journal.get() < 0) {
    found.reachable = platform::last_error() == platform::kErrorFileNotFound;
    return found;
  }
  found.exists = true;
  found.administrators = platform::owned_by_administrator(journal.get());
  const auto read_error = [&] { raise_failure(Kind::EFOpenError, "Cannot open file ", path); };
  Header& header = content.header;
  const std::int64_t size = platform::seek(journal.get(), 0, platform::SeekFrom::kEnd);
  if (size < 0 || platform::seek(journal.get(), 0, platform::SeekFrom::kBegin) != 0) read_error();
  const auto head = static_cast<std::int64_t>(std::min<std::uint64_t>(size, sizeof header));
  if (platform::read(journal.get(), reinterpret_cast<char*>(&header), static_cast<std::size_t>(head)) != head) {
    read_error();
  }
  const Layout layout = content.layout();
  const auto whole = static_cast<std::uint64_t>(size);
  // Each part within the journal first, so that no sum of them wraps around.
  found.complete = head == static_cast<std::int64_t>(sizeof header) &&
                   std::memcmp(header.magic, kMagic, sizeof kMagic) == 0 && layout.valid() &&
                   layout.saved_length() <= whole && layout.units() <= whole / 8 && layout.tail_length() <= whole &&
                   layout.size() == whole &&
                   header.capability_size <= sizeof header.capability;
  if (!found.complete) return found;
  content.saved = Bytes::allocate(layout.saved_length());
  content.units.resize(layout.units());
  content.tail = Bytes::allocate(layout.tail_length());
  for (const std::string_view part : {content.saved.view(), as_bytes(content.units), content.tail.view()}) {
    if (platform::read(journal.get(), const_cast<char*>(part.data()), part.size()) !=
        static_cast<std::int64_t>(part.size())) {
      read_error();
    }
  }
  found.complete = content.checksum(content.saved.view()) == header.checksum;
  return found;
}

// Plays back the journal at `journal_site` onto the file at `file_site` (the
// same site, or another name of the file for a marked journal).
void recover(const platform::Site& journal_site, const platform::Site& file_site, const std::string& path) {
  Content content;
  const Found found = read_journal(journal_site, file_site, path, content);
  const auto refuse = [&] { raise_failure(Kind::EFOpenError, "Cannot open file ", path); };
  // Beside this name, what this user may not read is no run's journal; a
  // journal a mark names out of this user's reach may hold the file's old text.
  if (!found.exists && !found.reachable && &journal_site != &file_site) refuse();
  if (!found.exists) return;
  // Never finished: the file was never touched.
  if (!found.complete) {
    if (found.trusted) platform::remove_companion(journal_site, platform::Companion::kJournal);
    return;
  }
  const InterruptHold hold;
  const OpenFile target(platform::open_for_update(file_site));
  platform::FileStamp stamp;
  Bytes file;
  if (target.get() < 0 || !platform::stamp(target.get(), stamp) || !read_rest(target.get(), file)) refuse();
  // Kept for a file since replaced: of no use, and in the way of a new one.
  // Another file's journal, named by a mark, is none of this run's business.
  if (stamp.file != content.header.file) {
    if (found.trusted && &journal_site == &file_site) platform::set_aside_journal(journal_site);
    return;
  }
  const State state = state_of(content, file.view());
  // A journal no trusted run made is never played back; but a file that it
  // shows half written is not built upon either.
  if (!found.trusted) {
    if (state == State::kTorn) refuse();
    return;
  }
  // A file changed in a way the save could not have left it holds someone's
  // later edit: it stays as it is, and the journal is kept aside.
  if (state == State::kForeign) {
    platform::set_aside_journal(journal_site);
    return;
  }
  file = Bytes();
  // Only a journal of the administrator's may give back what only the
  // administrator may give a file.
  platform::Capability capability;
  capability.size = found.administrators ? content.header.capability_size : 0;
  std::memcpy(capability.bytes, content.header.capability, capability.size);
  const Layout layout = content.layout();
  if (!(platform::write_at(target.get(), static_cast<std::int64_t>(layout.offset), content.saved.view()) &&
        platform::truncate(target.get(), static_cast<std::int64_t>(layout.old_length)) &&
        platform::restore_capability(target.get(), capability) && platform::sync(target.get()) &&
        remove_durably(journal_site))) {
    refuse();
  }
}

}  // namespace

Journal::Journal(const platform::Site& site, Handle target, const platform::Capability& capability,
                 std::string_view old_text, std::uint64_t offset, std::uint64_t new_length, const TextSource& new_text)
    : site_(site) {
  Content content;
  const Layout layout{old_text.size(), new_length, offset};
  // What the save will write is taken before the journal is begun.
  content.units.resize(layout.units());
  content.tail = Bytes::allocate(layout.tail_length());
  NewBytes taken(layout, content);
  new_text([&](std::string_view piece) { return taken.take(piece); });
  file_.reset(platform::create_companion(site, platform::Companion::kJournal));
  if (!file_.is_open()) return;
  platform::FileStamp stamp;
  std::memcpy(content.header.magic, kMagic, sizeof kMagic);
  content.header.old_length = layout.old_length;
  content.header.new_length = layout.new_length;
  content.header.offset = layout.offset;
  content.header.capability_size = capability.size;
  std::memcpy(content.header.capability, capability.bytes, capability.size);
  // The file's owner's, and nobody else's: it holds the file's text, and a
  // journal others could change would be played back as the file's. Where
  // this user may not give it away it stays theirs, and the file's mark
  // vouches for it (mark()).
  platform::adopt_owner(target, file_.get());
  kept_ = platform::stamp(target, stamp);
  content.header.file = stamp.file;
  // The old bytes go straight from the text.
  const std::string_view saved = old_text.substr(layout.offset);
  content.header.checksum = content.checksum(saved);
  const Header& header = content.header;
  std::int64_t at = 0;
  for (const std::string_view part : {std::string_view(reinterpret_cast<const char*>(&header), sizeof header), saved,
                                      as_bytes(content.units), content.tail.view()}) {
    kept_ = kept_ && platform::write_at(file_.get(), at, part);
    at += static_cast<std::int64_t>(part.size());
  }
  kept_ = kept_ && platform::sync(file_.get()) && platform::sync_directory(site);
  // A journal begun and left would take the file back to its old text later.
  if (!kept_) {
    file_.close();
    if (!platform::remove_companion(site, platform::Companion::kJournal)) raise_failure(Kind::EWriteError, "Stream write error");
  }
}

void Journal::mark(Handle target) {
  marked_ = kept_ && platform::mark_journal(target, &site_, file_.get()) && platform::sync(target);
}

bool Journal::end(Handle target) {
  file_.close();  // a system may refuse to remove an open file
  if (kept_ && !remove_durably(site_)) return false;
  kept_ = false;
  // A mark left behind names no journal, and the next run takes it away.
  if (marked_ && platform::mark_journal(target, nullptr, platform::kInvalidHandle)) platform::sync(target);
  marked_ = false;
  return true;
}

void recover_journal(const platform::Site& site, const std::string& path) { recover(site, site, path); }

void recover_marked_journal(const platform::Site& site, const std::string& path) {
  platform::Site marked;
  const platform::Marked found = platform::marked_journal(site, marked);
  if (found == platform::Marked::kNone) return;
  // Out of reach, it may hold the old text of a file left half written.
  if (found == platform::Marked::kOutOfReach) raise_failure(Kind::EFOpenError, "Cannot open file ", path);
  const OpenFile directory(marked.directory);
  // Its own journal, a run through this name has dealt with already.
  if (marked.path != site.path) recover(marked, site, path);
  const OpenFile file(platform::open_for_update(site));
  if (file.get() >= 0) platform::mark_journal(file.get(), nullptr, platform::kInvalidHandle);
}

}  // namespace tarnwick
