// Keeps runs of the tool on the same hosts file from overlapping.
#pragma once

#include <string>

#include "platform/platform.h"

namespace tarnwick {

// Holds the run lock of one file from take() to destruction. Two runs that
// overlap would otherwise both load the same text, and the later save would
// drop the earlier run's edit.
//
// Runs through one name share the lock file beside it; runs through every
// name of the file (a hard link, a bind mount, a container's /etc/hosts)
// then meet on the file itself, where a run waits for another run's lock
// without limit. A reader of the file who locks it can hold a run up for
// 10 seconds at most, and only where the file may be written by others than
// this user or has other names; for the usual hosts file, which only its
// owner writes, the lock file is enough then.
class RunLock {
 public:
  RunLock() = default;
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  ~RunLock();

  // Waits for the lock of the file at `site`. Where the file itself is held
  // by another program for too long, raises EFOpenError "Cannot open file
  // PATH" for `path`, as when it holds the file open; where no lock can be
  // had at all (this user may not write the file), the run goes on unguarded
  // and its own failures are reported by the load or the save.
  void take(const platform::Site& site, const std::string& path);

 private:
  const platform::Site* site_ = nullptr;
  platform::Handle lock_file_ = platform::kInvalidHandle;
  platform::Handle file_lock_ = platform::kInvalidHandle;
};

}  // namespace tarnwick
