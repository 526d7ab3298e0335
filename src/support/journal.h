// The rollback journal of a save that writes over the hosts file itself.
//
// Before the first byte of the file changes, a journal beside it holds enough
// to recognise, and to undo, every state the save can leave the file in. A
// power cut keeps any subset of the writes since the last sync, so such a
// state is any mix, 512-byte unit by unit from the file's start, of the old
// text (or, past its end, nothing written yet: zeros) and the text the save
// writes, with a length between the old and the new. The journal holds the
// old bytes from the offset where the save's writes begin, a checksum of the
// new bytes of each unit that lies below both lengths, and the new bytes
// themselves from there on, where a unit may end at any byte.
//
// On disk, in the byte order of the machine that wrote it: "TWJOURN2", the
// file's number on its device, its old and new lengths, the offset, the
// file's capability, a checksum of all of the journal; then the old bytes, the units' checksums
// and the new bytes. A journal that is not whole or does not check out was
// never finished, so the file was never touched.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "support/line_list.h"
#include "support/open_file.h"

namespace tarnwick {

// Hands a whole text, piece by piece from its first byte, to its writer.
using TextSource = std::function<bool(const PieceWriter& write)>;

class Journal {
 public:
  // Journals a save that will write `new_text` (`new_length` bytes) over
  // `target`, whose whole content is `old_text`, from `offset` on: both texts
  // are the same before it. `capability` is what writing takes from the file. Once made, the journal is durable, and published
  // to the run's own files as one that an abnormal end keeps. Where the
  // directory cannot hold a journal (read-only, full, ...) nothing is kept.
  // Raises EWriteError when a journal was begun and cannot be removed again.
  Journal(const platform::Site& site, platform::Handle target, const platform::Capability& capability,
          std::string_view old_text, std::uint64_t offset, std::uint64_t new_length, const TextSource& new_text);
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  bool kept() const { return kept_; }
  // Marks the journal on the file, durably: runs through any of the file's
  // names find it, and runs of other users know it for a run's.
  void mark(platform::Handle target);
  // Ends the journal once the file's text is durable: removed, and its
  // removal made durable, so that no power cut brings it back. False when it
  // may stay.
  bool end(platform::Handle target);

 private:
  const platform::Site& site_;
  OpenFile file_;  // open until the journal ends, for its mark
  bool kept_ = false;
  bool marked_ = false;
};

// Plays back a journal that a run left beside the file at `site` when it died:
// the old bytes go back, the file gets its old length, and the journal ends.
// A journal not whole is only removed. A journal whose file is in a state its
// run cannot have left (another program changed it since) is not played back:
// it may hold the only copy of the old text, so it is set aside, where this
// user may, as its name followed by ".N". A journal that no run trusted with
// the file made is never played back, nor removed; where it shows the file
// half written, the run stops there. Raises EFOpenError "Cannot open file
// PATH" for `path` when it stops, and when a journal that fits cannot be
// played back.
void recover_journal(const platform::Site& site, const std::string& path);

// The same for a journal marked on the file by a run through another of its
// names; the mark then goes. A mark that names a journal out of this user's
// reach stops the run as well.
void recover_marked_journal(const platform::Site& site, const std::string& path);

}  // namespace tarnwick
