// Where tests reach into the platform layer.
//
// Every platform call that can fail first asks the failure hook whether it
// should. Shipped programs never set the hook; the test library installs a
// Seam through it, to make chosen calls fail or to act just before one.
#pragma once

#include "platform/platform.h"

namespace tarnwick::platform {

enum class Call {
  kIsExistingFile,
  kOpenForReading,
  kSeek,
  kRead,
  kWrite,
  kClose,
  kLocate,
  kStamp,
  kOpenCompanion,
  kRemoveCompanion,
  kSetAside,
  kSyncDirectory,
  kSetMark,
  kClearMark,
  kOpenForUpdate,
  kAdoptOwner,
  kCreateTemporary,
  kCopyMetadata,
  kSync,
  kReplace,
  kWriteAt,
  kCopyRange,
  kTruncate,
  kMapFile,
  kDetachMapping,
  kCapability,
  kLockCompanion,
  kLockItself,
  kAllocate,
  // Not calls that fail, but the steps of making a run's file known to the
  // signal handlers, where a test can act as an interrupt would.
  kPublish,
  kWithdraw,
};

// Asked by each call before it reaches the system: a non-zero code makes the
// call fail with that code. Null unless a test set it.
extern ErrorCode (*g_failure_hook)(Call);

// The guard each call starts with; the last error then holds the code.
bool injected(Call call);

class Seam {
 public:
  virtual ~Seam() = default;
  // A non-zero code makes `call` fail with that code before it reaches the system.
  virtual ErrorCode fail(Call) = 0;
};

// Installs `seam` (nullptr removes it). Only in the test library.
void install_seam(Seam* seam);

}  // namespace tarnwick::platform
