#include "hosts/lock.h"

#include "failure/failure.h"

namespace tarnwick {

void RunLock::take(const platform::Site& site, const std::string& path) {
  site_ = &site;
  const auto held_elsewhere = [&] {
    if (platform::last_error() == platform::kErrorSharingViolation) raise_failure(Kind::EFOpenError, "Cannot open file ", path);
  };
  lock_file_ = platform::lock_companion(site);
  if (lock_file_ < 0) held_elsewhere();
  file_lock_ = platform::lock_itself(site, lock_file_ >= 0);
  if (file_lock_ < 0) held_elsewhere();
}

RunLock::~RunLock() {
  if (file_lock_ >= 0) platform::unlock_itself(file_lock_);
  if (lock_file_ >= 0) platform::unlock_companion(*site_, lock_file_);
}

}  // namespace tarnwick
