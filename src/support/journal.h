// The rollback journal of a save that writes over the hosts file in place.
//
// Before the first byte of the file is overwritten, the bytes about to change
// and the file's length go to a journal beside it, made durable together with
// the directory. A run that dies halfway leaves the journal behind; the next run
// plays it back before it reads the file, so that the file holds its old text
// again. A journal is checkable: an incomplete one means the file was never
// touched.
//
// On disk, in the byte order of the machine that wrote it: "TWJOURN1", the
// file's number on its device, its old length, the offset and length of the
// saved bytes, the longest the save can make the file, a checksum of all of
// these and the saved bytes; then the bytes. A file shorter than the offset or
// longer than that length was written by someone else since, and is left as
// it is.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace tarnwick {

class Journal {
 public:
  // Journals a save that will change `target`, whose whole content is
  // `old_text`, from `saved_offset` on, to at most `largest` bytes in all
  // (the most the file may hold meanwhile). Where the directory cannot hold a
  // journal (read-only, full, ...) nothing is kept and the save goes on
  // without one. Raises EWriteError when a journal was begun and cannot be
  // removed again.
  Journal(const platform::Site& site, platform::Handle target, std::string_view old_text,
          std::uint64_t saved_offset, std::uint64_t largest);
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  bool kept() const { return kept_; }
  // Removes the journal once the new text is durable; false when it stays.
  bool remove();

 private:
  const platform::Site& site_;
  bool kept_ = false;
};

// Plays back a journal that a run left beside the file at `site` when it died:
// the saved bytes go back, the file gets its old length, and the journal goes.
// An incomplete journal, or one kept for another file, is only removed. Raises
// EFOpenError "Cannot open file PATH" for `path`, and leaves the journal for a
// later run, when a complete journal cannot be played back.
void recover_journal(const platform::Site& site, const std::string& path);

}  // namespace tarnwick
