#include "hosts/journal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "hosts/bytes.h"
#include "failure/failure.h"
#include "hosts/interrupt_hold.h"
#include "hosts/open_file.h"
#include "hosts/save.h"

namespace tarnwick {
namespace {

using platform::Handle;
using platform::Site;

constexpr char kMagic[8] = {'T', 'W', 'J', 'O', 'U', 'R', 'N', '2'};
constexpr char kMarkMagic[8] = {'T', 'W', 'M', 'A', 'R', 'K', '0', '1'};
// The unit a power cut keeps or loses whole: a disk sector. Appends start in
// the middle of one, so a page would be too coarse.
constexpr std::uint64_t kUnit = 512;
// A journal up to this size is kept in the mark: ext4 keeps all of a file's
// extended attributes in one block, beside its label and its access list.
constexpr std::size_t kInMarkLimit = 2048;

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

// A fast 64-bit hash in four lanes, taken piece by piece: enough to tell a
// unit, a journal or a text from another one, not a defence against
// deliberate forgery.
class Hasher {
 public:
  explicit Hasher(std::uint64_t seed = 0) : lanes_{seed + kPrime1 + kPrime2, seed + kPrime2, seed, seed - kPrime1} {}

  void add(std::string_view bytes) {
    if (bytes.empty()) return;  // whose data may be null, which no copy may be given
    size_ += bytes.size();
    if (buffered_ > 0) {
      const std::size_t n = std::min(bytes.size(), sizeof buffer_ - buffered_);
      std::memcpy(buffer_ + buffered_, bytes.data(), n);
      buffered_ += n;
      bytes.remove_prefix(n);
      if (buffered_ < sizeof buffer_) return;
      stripe(buffer_);
      buffered_ = 0;
    }
    for (; bytes.size() >= sizeof buffer_; bytes.remove_prefix(sizeof buffer_)) stripe(bytes.data());
    std::memcpy(buffer_, bytes.data(), bytes.size());
    buffered_ = bytes.size();
  }

  std::uint64_t sum() const {
    std::uint64_t h = size_;
    for (const std::uint64_t lane : lanes_) h = round(h ^ lane, lane >> 7);
    std::size_t i = 0;
    for (; i + 8 <= buffered_; i += 8) h = round(h, word(buffer_ + i));
    for (; i < buffered_; ++i) h = round(h, static_cast<unsigned char>(buffer_[i]));
    h ^= h >> 33;
    h *= kPrime2;
    return h ^ (h >> 29);
  }

 private:
  static constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ull, kPrime2 = 0xC2B2AE3D27D4EB4Full;
  static std::uint64_t word(const char* at) {
    std::uint64_t w;
    std::memcpy(&w, at, 8);
    return w;
  }
  static std::uint64_t round(std::uint64_t lane, std::uint64_t w) {
    lane += w * kPrime2;
    return ((lane << 31) | (lane >> 33)) * kPrime1;
  }
  void stripe(const char* at) {
    for (int k = 0; k < 4; ++k) lanes_[k] = round(lanes_[k], word(at + 8 * k));
  }

  std::uint64_t lanes_[4];
  std::uint64_t size_ = 0;
  char buffer_[32];
  std::size_t buffered_ = 0;
};

std::uint64_t hash(std::string_view bytes, std::uint64_t seed = 0) {
  Hasher hasher(seed);
  hasher.add(bytes);
  return hasher.sum();
}

std::string_view as_bytes(const std::vector<std::uint64_t>& words) {
  return {reinterpret_cast<const char*>(words.data()), words.size() * 8};
}

template <typename T>
std::string_view bytes_of(const T& record) {
  return {reinterpret_cast<const char*>(&record), sizeof record};
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
    std::uint64_t sum = hash(bytes_of(unsummed));
    for (const std::string_view part : {old_bytes, as_bytes(units), tail.view()}) sum = hash(part, sum);
    return sum;
  }
  // True when `header` describes a whole journal of `size` bytes.
  bool fits(std::uint64_t size) const {
    const Layout parts = layout();
    // Each part within the journal first, so that no sum of them wraps around.
    return std::memcmp(header.magic, kMagic, sizeof kMagic) == 0 && parts.valid() && parts.saved_length() <= size &&
           parts.units() <= size / 8 && parts.tail_length() <= size && parts.size() == size &&
           header.capability_size <= sizeof header.capability;
  }
  void allocate() {
    const Layout parts = layout();
    saved = Bytes::allocate(parts.saved_length());
    units.resize(parts.units());
    tail = Bytes::allocate(parts.tail_length());
  }
};

// Takes the new text piece by piece: the checksum of each unit from the
// offset up to tail_at(), the bytes from there on, and a checksum of all the
// bytes from the offset.
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
      if (at_ >= layout_.offset) written_.add(piece.substr(0, n));
      at_ += n;
      piece.remove_prefix(n);
    }
    return true;
  }
  std::uint64_t sum() const { return written_.sum(); }

 private:
  const Layout& layout_;
  Content& content_;
  std::uint64_t at_ = 0;
  char unit_[kUnit];
  std::size_t buffered_ = 0;
  Hasher written_;
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

// ---- The mark ----------------------------------------------------------------

// Where a marked change keeps its journal.
enum class Kept : std::uint64_t { kNowhere = 0, kInMark = 1, kBeside = 2 };

struct MarkHead {
  char magic[8];
  Kept kept;
  std::uint64_t old_length, new_length, offset;
  std::uint64_t old_sum, new_sum;  // of the old and the new bytes from the offset
  platform::FileIdentity journal;  // the journal beside a name
  std::uint64_t checksum;          // of the head, this field 0, and the rest
};
static_assert(sizeof(MarkHead) == 88);

// Gives the mark in `mark` the head `head`, with the checksum of both; it
// takes no memory.
void seal(std::string& mark, MarkHead head) {
  head.checksum = 0;
  Hasher sum(hash(bytes_of(head)));
  sum.add(std::string_view(mark).substr(sizeof head));
  head.checksum = sum.sum();
  std::memcpy(mark.data(), &head, sizeof head);
}

// The mark: `head` and the parts of the rest.
std::string mark_of(const MarkHead& head, std::initializer_list<std::string_view> rest) {
  std::string mark(sizeof head, '\0');
  for (const std::string_view part : rest) mark.append(part);
  seal(mark, head);
  return mark;
}

// A mark as a later run reads it.
struct Mark {
  MarkHead head{};
  std::string_view rest;    // the journal, or the path of the name it is beside
  bool sums_known = true;   // false for a mark of an earlier version, which named a journal only
};

// False for a mark no run made whole.
bool read_mark(std::string_view bytes, Mark& mark) {
  if (bytes.size() >= sizeof(MarkHead) && std::memcmp(bytes.data(), kMarkMagic, sizeof kMarkMagic) == 0) {
    std::memcpy(&mark.head, bytes.data(), sizeof mark.head);
    mark.rest = bytes.substr(sizeof mark.head);
    return mark_of(mark.head, {mark.rest}) == bytes && mark.head.kept <= Kept::kBeside;
  }
  // Earlier versions: the journal's path, a newline, then its identity.
  const std::size_t newline = bytes.rfind('\n');
  const std::string_view suffix = platform::companion_suffix(platform::Companion::kJournal);
  if (newline == std::string_view::npos || !bytes.substr(0, newline).ends_with(suffix)) return false;
  const std::string numbers(bytes.substr(newline + 1));
  unsigned long long device = 0, file = 0;
  long long born = 0;
  if (std::sscanf(numbers.c_str(), "%llu %llu %lld", &device, &file, &born) != 3) return false;
  mark.head.kept = Kept::kBeside;
  mark.head.journal = {0, file, born};  // told by its number and birth, as now (device: the mount's own)
  mark.rest = bytes.substr(0, newline - suffix.size());
  mark.sums_known = false;
  return true;
}

// Takes the mark away where this user may write the file. False where it stays.
bool take_mark_away(const Site& site) {
  const OpenFile file(platform::open_for_update(site));
  return file.is_open() && platform::clear_mark(file.get());
}

// ---- Reading and playing back -----------------------------------------------

bool remove_durably(const Site& site) {
  return platform::remove_journal(site) && platform::sync_directory(site);
}

[[noreturn]] void refuse(const std::string& path) { raise_failure(Kind::EFOpenError, "Cannot open file ", path); }

// Reads the open journal `journal` whole into `content`; false for one not
// whole, or one that does not check out: it was never finished. One that
// cannot be read raises EFOpenError: it may hold the only old text.
bool read_journal(Handle journal, const std::string& path, Content& content) {
  Header& header = content.header;
  const std::int64_t size = platform::seek(journal, 0, platform::SeekFrom::kEnd);
  if (size < 0 || platform::seek(journal, 0, platform::SeekFrom::kBegin) != 0) refuse(path);
  const auto head = static_cast<std::int64_t>(std::min<std::uint64_t>(size, sizeof header));
  if (platform::read(journal, reinterpret_cast<char*>(&header), static_cast<std::size_t>(head)) != head) refuse(path);
  if (head != static_cast<std::int64_t>(sizeof header) || !content.fits(static_cast<std::uint64_t>(size))) return false;
  content.allocate();
  for (const std::string_view part : {content.saved.view(), as_bytes(content.units), content.tail.view()}) {
    if (platform::read(journal, const_cast<char*>(part.data()), part.size()) != static_cast<std::int64_t>(part.size())) {
      refuse(path);
    }
  }
  return content.checksum(content.saved.view()) == header.checksum;
}

// The same for a journal kept in a mark.
bool read_journal(std::string_view bytes, Content& content) {
  if (bytes.size() < sizeof content.header) return false;
  std::memcpy(&content.header, bytes.data(), sizeof content.header);
  if (!content.fits(bytes.size())) return false;
  content.allocate();
  bytes.remove_prefix(sizeof content.header);
  for (const std::string_view part : {content.saved.view(), as_bytes(content.units), content.tail.view()}) {
    if (!part.empty()) std::memcpy(const_cast<char*>(part.data()), bytes.data(), part.size());
    bytes.remove_prefix(part.size());
  }
  return content.checksum(content.saved.view()) == content.header.checksum;
}

// The file a journal is played back onto: open for writing, its stamp and
// its bytes as they are.
struct Target {
  OpenFile file;
  platform::FileStamp stamp;
  Bytes bytes;

  explicit Target(const Site& site) : file(platform::open_for_update(site)) {}
  bool read() { return file.is_open() && platform::stamp(file.get(), stamp) && read_rest(file.get(), bytes); }
};

// Puts the journal's old bytes back, gives the file its old length, and
// makes that durable. Only a journal of the administrator's may give back
// what only the administrator may give a file.
bool restore(Handle file, const Content& content, bool administrators) {
  platform::Capability capability;
  capability.size = administrators ? content.header.capability_size : 0;
  std::memcpy(capability.bytes, content.header.capability, capability.size);
  const Layout layout = content.layout();
  return platform::write_at(file, static_cast<std::int64_t>(layout.offset), content.saved.view()) &&
         platform::truncate(file, static_cast<std::int64_t>(layout.old_length)) &&
         platform::restore_capability(file, capability) && platform::sync(file);
}

// Plays the journal beside `journal` back onto the file at `file`, where a
// run trusted with the file made it (`trusted`); the mark on the file is the
// caller's. A file in a state the journal's run cannot have left holds a
// later edit: it stays, and the journal is set aside. One that no trusted
// run made is never played back; but a file it shows half written is not
// built upon either.
void settle(const Site& journal, Target& target, const Content& content, bool trusted, bool administrators,
            const std::string& path) {
  const State state = state_of(content, target.bytes.view());
  if (!trusted) {
    if (state == State::kTorn) refuse(path);
    return;
  }
  if (state == State::kForeign) {
    platform::set_aside_journal(journal);
    return;
  }
  target.bytes = Bytes();
  if (!restore(target.file.get(), content, administrators) || !remove_durably(journal)) refuse(path);
}

// What came of looking for the journal a mark names.
enum class Sought { kPlayed, kGone, kOutOfReach, kAnotherFiles };

// The journal a mark names beside another name (or this one): played back,
// or set aside, and the mark taken away. Gone where its directory holds no
// journal; out of reach where the directory is not this run's to enter, or
// not there (another mount namespace's), or the journal there is not the one
// the mark names.
Sought play_back_marked(const Site& file, const Mark& mark, const std::string& path) {
  Site journal;
  if (!platform::site_at(mark.rest, journal)) return Sought::kOutOfReach;
  const OpenFile directory(journal.directory);
  bool trusted = false;
  OpenFile opened(platform::open_journal(journal, file, &mark.head.journal, trusted));
  if (!opened.is_open()) {
    return platform::last_error() == platform::kErrorFileNotFound ? Sought::kGone : Sought::kOutOfReach;
  }
  platform::FileIdentity identity;
  if (!platform::identify(opened.get(), identity) || !(identity == mark.head.journal)) return Sought::kOutOfReach;
  Content content;
  const bool whole = read_journal(opened.get(), path, content);
  const bool administrators = platform::owned_by_administrator(opened.get());
  opened.close();  // a system may refuse to remove or move an open file
  // Never finished, or not the journal the mark names: what the mark shows
  // tells. (It is left where it is: a mark is any writer's, and the file it
  // names may be anybody's.)
  if (!whole) return Sought::kOutOfReach;
  Target target(file);
  if (!target.read()) refuse(path);
  // A mark copied from another file, whose journal it names: none of this
  // file's business.
  if (target.stamp.file != content.header.file) return Sought::kAnotherFiles;
  settle(journal, target, content, trusted, administrators, path);
  platform::clear_mark(target.file.get());
  return Sought::kPlayed;
}

// A mark on the file at `site`, which a run through any of its names left.
void recover_mark(const Site& site, std::string_view bytes, const std::string& path) {
  Mark mark;
  // A mark that does not check out was never made durable: the file was
  // never touched after it.
  if (!read_mark(bytes, mark)) {
    take_mark_away(site);
    return;
  }
  const InterruptHold hold;
  if (mark.head.kept == Kept::kInMark) {
    Content content;
    if (!read_journal(mark.rest, content)) {
      take_mark_away(site);
      return;
    }
    Target target(site);
    if (!target.read()) refuse(path);
    // A later edit since stays; the mark holds no old text but the few
    // bytes of its own change.
    const bool played = state_of(content, target.bytes.view()) == State::kForeign ||
                        (target.bytes = Bytes(), restore(target.file.get(), content, false));
    if (!played || !platform::clear_mark(target.file.get())) refuse(path);
    return;
  }
  const Sought sought = mark.head.kept == Kept::kBeside ? play_back_marked(site, mark, path) : Sought::kOutOfReach;
  if (sought == Sought::kPlayed) return;
  if (sought == Sought::kAnotherFiles) {
    take_mark_away(site);
    return;
  }
  // An earlier version's mark names its journal alone, and outlives it only
  // where its run was stopped after the journal's end.
  if (!mark.sums_known) {
    if (sought != Sought::kGone) refuse(path);
    take_mark_away(site);
    return;
  }
  // The journal out of reach, or none: the file is taken as it is only where
  // it holds the old text or the new one whole.
  Target target(site);
  if (!target.read()) refuse(path);
  const MarkHead& head = mark.head;
  const std::string_view now = target.bytes.view();
  const bool whole = head.offset <= now.size() && ((now.size() == head.old_length && hash(now.substr(head.offset)) == head.old_sum) ||
                                                   (now.size() == head.new_length && hash(now.substr(head.offset)) == head.new_sum));
  if (!whole) refuse(path);
  platform::clear_mark(target.file.get());
}

// A journal beside the file at `site` that no mark names.
void recover_beside(const Site& site, const std::string& path) {
  bool trusted = false;
  OpenFile journal(platform::open_journal(site, site, nullptr, trusted));
  if (!journal.is_open()) return;  // none, or none this user may judge: what it may not read is no run's
  Content content;
  const bool whole = read_journal(journal.get(), path, content);
  const bool administrators = platform::owned_by_administrator(journal.get());
  journal.close();  // a system may refuse to remove or move an open file
  // Never finished: the file was never touched.
  if (!whole) {
    if (trusted) platform::remove_journal(site);
    return;
  }
  const InterruptHold hold;
  Target target(site);
  if (!target.read()) refuse(path);
  // Kept for a file since replaced: of no use, and in the way of a new one.
  if (target.stamp.file != content.header.file) {
    if (trusted) platform::set_aside_journal(site);
    return;
  }
  settle(site, target, content, trusted, administrators, path);
}

}  // namespace

Journal::Journal(const Site& site, const std::string& path, Handle target, const platform::Capability& capability,
                 std::string_view old_text, std::uint64_t offset, std::uint64_t new_length, const TextSource& new_text)
    : site_(site) {
  Content content;
  const Layout layout{old_text.size(), new_length, offset};
  // What the save will write is taken before the journal is begun.
  content.units.resize(layout.units());
  content.tail = Bytes::allocate(layout.tail_length());
  NewBytes taken(layout, content);
  new_text([&](std::string_view piece) { return taken.take(piece); });
  platform::FileStamp stamp;
  if (!platform::stamp(target, stamp)) raise_create_failure(path);
  Header& header = content.header;
  std::memcpy(header.magic, kMagic, sizeof kMagic);
  header.file = stamp.file;
  header.old_length = layout.old_length;
  header.new_length = layout.new_length;
  header.offset = layout.offset;
  header.capability_size = capability.size;
  std::memcpy(header.capability, capability.bytes, capability.size);
  // The old bytes go straight from the text.
  const std::string_view saved = old_text.substr(layout.offset);
  header.checksum = content.checksum(saved);
  const std::string_view parts[] = {bytes_of(header), saved, as_bytes(content.units), content.tail.view()};
  MarkHead mark{};
  std::memcpy(mark.magic, kMarkMagic, sizeof kMarkMagic);
  mark.old_length = layout.old_length;
  mark.new_length = layout.new_length;
  mark.offset = layout.offset;
  mark.old_sum = hash(saved);
  mark.new_sum = taken.sum();
  // In the mark where it fits and gives nothing back that only the
  // administrator may: any writer of the file can set a mark.
  bool marks_kept = true;
  if (capability.size == 0 && sizeof(MarkHead) + layout.size() <= kInMarkLimit) {
    mark.kept = Kept::kInMark;
    if (platform::set_mark(target, mark_of(mark, {parts[0], parts[1], parts[2], parts[3]}))) {
      kept_ = marked_ = in_mark_ = true;
      return;
    }
    marks_kept = platform::last_error() != platform::kErrorNotSupported;
    // No room for it beside the file's other attributes: beside the file.
    if (marks_kept && platform::last_error() != platform::kErrorDiskFull) raise_create_failure(path);
  }
  // Beside the file, named by the mark from its first byte on, so that a run
  // through any of the file's names finds what is left of it. The mark is
  // made ready first: nothing is allocated between the two.
  mark.kept = Kept::kBeside;
  std::string beside = mark_of(mark, {site.path});
  kept_ = beside_ = begin_beside(target, path, parts, marks_kept ? &beside : nullptr);
  if (beside_ || !marks_kept) return;
  // No journal can be had here: the file is marked all the same.
  mark.kept = Kept::kNowhere;
  if (platform::set_mark(target, mark_of(mark, {}))) {
    marked_ = true;
  } else if (platform::last_error() != platform::kErrorNotSupported) {
    raise_create_failure(path);
  }
}

bool Journal::begin_beside(Handle target, const std::string& path, const std::string_view (&parts)[4],
                           std::string* mark) {
  file_.reset(platform::create_journal(site_));
  if (!file_.is_open()) {
    if (platform::refused_for_good(platform::last_error())) return false;
    raise_create_failure(path);
  }
  // The file's owner's, and nobody else's: it holds the file's text, and a
  // journal others could change would be played back as the file's. Where
  // this user may not give it away it stays theirs, and the file's mark
  // vouches for it.
  platform::adopt_owner(target, file_.get());
  bool written = true;
  if (mark != nullptr) {
    MarkHead head;
    std::memcpy(&head, mark->data(), sizeof head);
    platform::identify(file_.get(), head.journal);
    seal(*mark, head);
    marked_ = platform::set_mark(target, *mark);
    written = marked_ || platform::last_error() == platform::kErrorNotSupported;
  }
  std::int64_t at = 0;
  for (const std::string_view part : parts) {
    written = written && platform::write_at(file_.get(), at, part);
    at += static_cast<std::int64_t>(part.size());
  }
  if (written && platform::sync(file_.get()) && platform::sync_directory(site_)) return true;
  // A journal begun and left would take the file back to its old text later.
  const platform::ErrorCode error = platform::last_error();
  file_.close();
  platform::remove_journal(site_);
  if (marked_) platform::clear_mark(target);  // what stays names nothing, and shows the old text
  marked_ = false;
  raise_create_failure(path, error);
}

bool Journal::end(Handle target) {
  file_.close();  // a system may refuse to remove an open file
  if (beside_ && !remove_durably(site_)) return false;
  beside_ = false;
  // A mark that names no journal, or one gone, tells the new text whole.
  if (marked_ && !platform::clear_mark(target) && in_mark_) return false;
  kept_ = marked_ = in_mark_ = false;
  return true;
}

void recover_journal(const Site& site, const std::string& path) {
  std::string mark;
  if (platform::read_mark(site, mark)) {
    recover_mark(site, mark, path);
  } else if (platform::last_error() != platform::kErrorFileNotFound) {
    refuse(path);  // a mark that cannot be read may show the file half written
  }
  recover_beside(site, path);
}

}  // namespace tarnwick
