// Keeps runs of the tool on the same hosts file from overlapping.
#pragma once

#include <string>

#include "platform/platform.h"

namespace tarnwick {

// Holds the file's advisory lock from construction to destruction. Two runs
// that overlap would otherwise both load the same text, and the later save
// would drop the earlier run's edit. Where the lock cannot be had the run goes
// on unguarded, as before: its own failures are reported by the load.
class HostsLock {
 public:
  explicit HostsLock(const std::string& path) : lock_(platform::lock_file(path.c_str())) {}
  HostsLock(const HostsLock&) = delete;
  HostsLock& operator=(const HostsLock&) = delete;
  ~HostsLock() {
    if (lock_ >= 0) platform::unlock_file(lock_);
  }

 private:
  platform::Handle lock_;
};

}  // namespace tarnwick
