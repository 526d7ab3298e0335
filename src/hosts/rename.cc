// The rename route: the text goes to a temporary file beside the file, which
// takes the file's place in one step. The notes on the save: save.cc.
#include "failure/failure.h"
#include "hosts/hosts_file.h"
#include "hosts/journal.h"
#include "hosts/open_file.h"
#include "hosts/save.h"
#include "hosts/temporary_file.h"

namespace tarnwick {

using platform::Handle;

// Writes the text to a temporary file beside the target and moves it into the
// target's place. Refused, with the target untouched, where the system
// refuses the temporary file or the move, or the temporary file cannot be
// made what the target is to its users.
HostsFile::Outcome HostsFile::replace_through_temporary(OpenFile& target, const LineList& list, Bytes& staging) {
  TemporaryFile temporary(place_.site, target.get(), list.loaded_text());  // invariant 5: published whole, or without a name
  const Handle handle = temporary.get();
  // Invariant 10: only a directory that can never hold it refuses it.
  if (handle < 0 && platform::refused_for_good(platform::last_error())) return Outcome::kRefused;
  if (handle < 0) raise_create_failure(path_);
  if (!list.write_joined(staging, [&](std::string_view piece) { return temporary.append(piece); })) raise_write_error();
  // Invariant 8: after the text, which would drop a capability.
  if (!platform::copy_metadata(target.get(), handle)) {
    const platform::ErrorCode error = platform::last_error();
    if (error == platform::kErrorDiskFull || error == platform::kErrorNotEnoughMemory) raise_create_failure(path_);
    return Outcome::kRefused;
  }
  if (!platform::sync(handle)) raise_write_error();
  // Invariant 1, as late as it can be, and after the last copy from the
  // file, which read it as it was then: a change made meanwhile stays, and so
  // does a file put in its place, which the move would replace.
  if (!unchanged(target.get(), list.loaded_text()) || !platform::names_file(place_.site, target.get())) {
    raise_create_error(path_);
  }
  // Let go first: a system may refuse to replace a file held open.
  target.close();
  // Commit point: the move, made durable with the directory.
  if (!temporary.keep()) return Outcome::kRefused;
  if (!platform::sync_directory(place_.site)) raise_write_error();
  return Outcome::kSaved;
}

}  // namespace tarnwick
