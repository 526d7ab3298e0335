// The in-place route: the text is written over the file itself, from the
// first byte that changes, journalled; a text cut short is only cut, its
// journal holding the bytes cut off. The notes on the save: save.cc.
#include <algorithm>
#include <cstring>

#include "failure/failure.h"
#include "hosts/hosts_file.h"
#include "hosts/journal.h"
#include "hosts/open_file.h"
#include "hosts/save.h"

namespace tarnwick {
namespace {

using platform::Handle;

// Writes a text over a file from a position on, so that every 512-byte unit
// from the file's start is written by a single call: a run stopped anywhere
// leaves each unit old or new, as the journal expects (journal.h).
class UnitWriter {
 public:
  static constexpr std::uint64_t kUnit = 512;

  UnitWriter(Handle file, std::uint64_t at) : file_(file), at_(at) {}

  bool write(std::string_view piece) {
    if (carried_ > 0) {  // the unit begun by an earlier piece is completed first
      const auto n = std::min<std::size_t>(piece.size(), kUnit - (at_ + carried_) % kUnit);
      std::memcpy(carry_ + carried_, piece.data(), n);
      carried_ += n;
      piece.remove_prefix(n);
      if ((at_ + carried_) % kUnit != 0) return true;  // the piece ended inside the unit
      if (!flush()) return false;
    }
    const std::size_t past = (at_ + piece.size()) % kUnit;  // bytes after the last whole unit
    const std::size_t direct = past > piece.size() ? 0 : piece.size() - past;
    if (direct > 0 && !platform::write_at(file_, static_cast<std::int64_t>(at_), piece.substr(0, direct))) return false;
    at_ += direct;
    std::memcpy(carry_, piece.data() + direct, piece.size() - direct);
    carried_ = piece.size() - direct;
    return true;
  }

  bool flush() {
    if (carried_ > 0 && !platform::write_at(file_, static_cast<std::int64_t>(at_), {carry_, carried_})) return false;
    at_ += carried_;
    carried_ = 0;
    return true;
  }

 private:
  Handle file_;
  std::uint64_t at_;  // where the carried bytes go
  char carry_[kUnit];
  std::size_t carried_ = 0;
};

}  // namespace

// Writes the text over the file, journalled, from the first byte that
// differs; on failure the old text is written back.
void HostsFile::rewrite_in_place(const OpenFile& target, const LineList& list, Bytes& staging) {
  const Handle handle = target.get();
  const std::string_view old_text = list.loaded_text();
  const TextSource new_text = [&](const PieceWriter& write) { return list.write_joined(staging, write); };
  std::uint64_t new_length = 0;
  std::uint64_t offset = UINT64_MAX;  // where the new text first differs from the old
  new_text([&](std::string_view piece) {
    const std::string_view old_part = old_text.substr(std::min<std::uint64_t>(new_length, old_text.size()));
    if (offset == UINT64_MAX && piece.data() != old_part.data()) {  // a piece of the old text in its place is the same
      const auto [in_piece, in_old] = std::mismatch(piece.begin(), piece.end(), old_part.begin(), old_part.end());
      if (in_piece != piece.end()) offset = new_length + static_cast<std::uint64_t>(in_piece - piece.begin());
    }
    new_length += piece.size();
    return true;
  });
  offset = std::min({offset, new_length, static_cast<std::uint64_t>(old_text.size())});
  // The loaded text is the file's content: from the first byte the save
  // changes, it must no longer show the file once the file is written over
  // or cut short. The bytes before stay as they are, and are not copied.
  // The file has not changed yet: no memory for the copy is EOutOfMemory
  // (invariant 10).
  if (!list.detach_text(offset)) raise_create_failure(path_);
  platform::Capability capability;
  if (!platform::capability_of(handle, capability)) raise_write_error();  // invariant 8
  // Invariant 2; where the directory can never hold a journal the file is
  // written without one, marked all the same (invariants 7 and 10).
  Journal journal(place_.site, path_, handle, capability, old_text, offset, new_length, new_text);
  check_marked(handle, old_text, journal);  // invariant 1
  // Invariant 4: every unit old or new, wherever the run stops.
  UnitWriter out(handle, offset);
  std::uint64_t at = 0;
  const bool written = new_text([&](std::string_view piece) {
    const std::uint64_t skip = std::min<std::uint64_t>(piece.size(), offset > at ? offset - at : 0);
    at += piece.size();
    return out.write(piece.substr(skip));
  }) && out.flush();
  // Commit point: the journal's end, made durable (invariant 3).
  if (written && platform::truncate(handle, static_cast<std::int64_t>(new_length)) &&
      platform::restore_capability(handle, capability) && platform::sync(handle) && journal.end(handle)) {
    return;
  }
  // Where putting the old text back fails too, the journal stays for the next run.
  if (platform::write_at(handle, static_cast<std::int64_t>(offset), old_text.substr(offset)) &&
      platform::truncate(handle, static_cast<std::int64_t>(old_text.size())) &&
      platform::restore_capability(handle, capability) && platform::sync(handle)) {
    journal.end(handle);
  }
  raise_write_error();
}

}  // namespace tarnwick
