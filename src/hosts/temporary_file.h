// The temporary file a save writes its text to, beside the hosts file, before
// it takes the file's place in one step.
//
// This is the one place that decides what becomes of it: it is made without
// a name where the system allows, so that nothing is left whatever ends the
// process, and named otherwise; a named one is known to the interrupt and
// fault handlers (platform::publish_run_file), whole, from the moment it has
// its name until just before its name goes (invariant 5 in save.cc). keep()
// moves it over the file; on every other way out it is discarded.
#pragma once

#include <cstdint>
#include <string_view>

#include "hosts/open_file.h"
#include "platform/platform.h"

namespace tarnwick {

class TemporaryFile {
 public:
  // Makes the temporary file beside the file at `site`; get() is invalid
  // where it cannot be made (last_error() says why). `source` is open on
  // the file, whose content is `source_text`.
  TemporaryFile(const platform::Site& site, platform::Handle source, std::string_view source_text);
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile();

  platform::Handle get() const { return file_.get(); }

  // Appends a piece of the text. A piece of the file's own text is copied
  // from the file, so that a file system that can share it does. The disk
  // starts on every 1 MiB as it is written: the sync at the end then waits
  // for the last of it, not for all of it.
  bool append(std::string_view piece);

  // Moves it over the file in one step. False where the system refuses; the
  // file then holds its old text, and the temporary file is discarded.
  bool keep();

 private:
  void discard();

  const platform::Site& site_;
  std::uint64_t number_ = platform::kNoName;  // its name, where it has one
  OpenFile file_;
  const platform::Handle source_;
  const std::string_view source_text_;
  std::size_t unstarted_ = 0;  // bytes written since the disk last started
};

}  // namespace tarnwick
