// Keeps runs of the tool on the same hosts file from overlapping.
#pragma once

#include <string>

#include "platform/platform.h"

namespace tarnwick {

// Holds the run lock of one file from take() to destruction. Two runs that
// overlap would otherwise both load the same text, and the later save would
// drop the earlier run's edit.
//
// Runs share the lock file beside the file. A run that may not make or open
// it locks the file itself instead; so where such runs may exist (someone
// besides this user may write the file, or it has several names, each with a
// lock file of its own) the holder of the lock file locks the file itself as
// well. For the usual hosts file, which only its owner writes, a reader who
// may lock the file holds nobody up.
class RunLock {
 public:
  RunLock() = default;
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  ~RunLock();

  // Waits for the lock of the file at `site`. Where the file itself is held
  // by another program for too long, raises EFOpenError "Cannot open file
  // PATH" for `path`, as when it holds the file open; where no lock can be
  // had at all, the run goes on unguarded and its own failures are reported
  // by the load.
  void take(const platform::Site& site, const std::string& path);

 private:
  const platform::Site* site_ = nullptr;
  platform::Handle lock_file_ = platform::kInvalidHandle;
  platform::Handle file_lock_ = platform::kInvalidHandle;
};

}  // namespace tarnwick
