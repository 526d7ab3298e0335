// Keeps runs of the tool on the same hosts file from overlapping.
#pragma once

#include <string>

#include "platform/platform.h"

namespace tarnwick {

// Holds the run lock of one file from take() to destruction. Two runs that
// overlap would otherwise both load the same text, and the later save would
// drop the earlier run's edit.
class RunLock {
 public:
  RunLock() = default;
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  ~RunLock();

  // Waits for the lock of the file at `site`. Where another program holds the
  // file itself for too long, raises EFOpenError "Cannot open file PATH" for
  // `path`, as when it holds the file open; where no lock can be had at all,
  // the run goes on unguarded and its own failures are reported by the load.
  void take(const platform::Site& site, const std::string& path);

 private:
  const platform::Site* site_ = nullptr;
  platform::Handle lock_ = platform::kInvalidHandle;
};

}  // namespace tarnwick
