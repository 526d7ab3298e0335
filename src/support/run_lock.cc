#include "support/run_lock.h"

#include "support/failure.h"

namespace tarnwick {

void RunLock::take(const platform::Site& site, const std::string& path) {
  lock_ = platform::lock_run(site);
  if (lock_ >= 0) {
    site_ = &site;
  } else if (platform::last_error() == platform::kErrorSharingViolation) {
    raise_failure(Kind::EFOpenError, "Cannot open file ", path);
  }
}

RunLock::~RunLock() {
  if (lock_ >= 0) platform::unlock_run(*site_, lock_);
}

}  // namespace tarnwick
