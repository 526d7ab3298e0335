// The rollback journal of a save that writes over the hosts file itself, and
// the mark the file carries while it does.
//
// Before the first byte of the file changes, a journal holds enough to
// recognise, and to undo, every state the save can leave the file in. A
// power cut keeps any subset of the writes since the last sync, so such a
// state is any mix, 512-byte unit by unit from the file's start, of the old
// text (or, past its end, nothing written yet: zeros) and the text the save
// writes, with a length between the old and the new. The journal holds the
// old bytes from the offset where the save's writes begin, a checksum of the
// new bytes of each unit that lies below both lengths, and the new bytes
// themselves from there on, where a unit may end at any byte.
//
// A journal's bytes, in the byte order of the machine that wrote it:
// "TWJOURN2", the file's number on its device, its old and new lengths, the
// offset, the file's capability, a checksum of all of the journal; then the
// old bytes, the units' checksums and the new bytes. One that is not whole
// or does not check out was never finished, so the file was never touched.
//
// The file itself carries the change too, in its mark (platform.h), so that
// a run through any of its names, in any mount namespace, finds it: a
// journal small enough (an append's, say) is kept in the mark whole, and the
// save then makes no file beside the hosts file at all. A larger one is kept
// beside the file, and the mark names it, by its path and its identity.
// Either way the mark tells the old bytes from the offset and the new ones by
// a checksum of each, so that a run that cannot reach the journal (a
// container's run, whose paths are not this one's) can still tell the old
// text or the new one from a file half written, and refuses the latter. A
// mark that checks out was made durable before the file changed; one that
// does not never was.
//
// The mark, in the machine's byte order: "TWMARK01", where the journal is
// (none, in the mark, beside a name), the old and new lengths, the offset,
// the two checksums, the journal's identity, a checksum of the mark; then the
// journal's bytes, or the path of the name it is kept beside.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "hosts/line_list.h"
#include "hosts/open_file.h"

namespace tarnwick {

// Hands a whole text, piece by piece from its first byte, to its writer.
using TextSource = std::function<bool(const PieceWriter& write)>;

class Journal {
 public:
  // Journals a save that will write `new_text` (`new_length` bytes) over
  // `target`, whose whole content is `old_text`, from `offset` on: both texts
  // are the same before it. `capability` is what writing takes from the file.
  // Once made, the journal and the mark are durable, and a journal beside the
  // file is published to the run's own files as one that an abnormal end
  // keeps.
  //
  // Only a directory that can never hold a journal (platform::refused_for_good)
  // leaves the save without one: then kept() is false, and the file is marked
  // all the same, where marks are kept at all. Anything else that stops the
  // journal or the mark (a limit of the process, a full disk, a quota, a
  // failing disk) raises EFCreateError "Cannot create file PATH" for `path`
  // (EOutOfMemory for memory), and leaves nothing behind.
  Journal(const platform::Site& site, const std::string& path, platform::Handle target,
          const platform::Capability& capability, std::string_view old_text, std::uint64_t offset,
          std::uint64_t new_length, const TextSource& new_text);
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  bool kept() const { return kept_; }
  // True when the file bears the mark: its change time changed for it.
  bool marked() const { return marked_; }
  // Ends the journal once the file's text is durable: the journal removed,
  // then the mark taken away, each durably, so that no power cut brings them
  // back. False when the journal may stay (a mark whose journal is gone
  // tells the file's new text from a half-written one).
  bool end(platform::Handle target);

 private:
  // Makes the journal beside the file, durably, and marks the file with
  // `mark` (where not null) as soon as the journal has a name; false where
  // the directory can never hold one.
  bool begin_beside(platform::Handle target, const std::string& path, const std::string_view (&parts)[4],
                    std::string* mark);

  const platform::Site& site_;
  OpenFile file_;  // the journal beside the file, open until it ends
  bool kept_ = false;    // in the mark, or beside the file
  bool beside_ = false;
  bool marked_ = false;
  bool in_mark_ = false;
};

// Plays back what a run that died left of its journal: the mark on the file,
// whichever of its names that run came by, and a journal beside the file at
// `site` that no mark names (one of an earlier version, or one made where
// the file could not be marked). The old bytes go back, the file gets its old
// length, and the journal and the mark end. A journal not whole is only
// removed. A journal whose file is in a state its run cannot have left
// (another program changed it since) is not played back: it may hold the
// only copy of the old text, so it is set aside, where this user may, as its
// name followed by ".N". A journal that no run trusted with the file made is
// never played back, nor removed; where it shows the file half written, the
// run stops there. So it does where the mark shows the file half written and
// its journal is out of this run's reach. Raises EFOpenError "Cannot open
// file PATH" for `path` when it stops, and when a journal that fits cannot
// be played back.
void recover_journal(const platform::Site& site, const std::string& path);

}  // namespace tarnwick
