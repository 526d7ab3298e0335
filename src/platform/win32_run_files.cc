// Win32 backend: the run's own files, as the console handler sees them.
//
// The handler runs on a thread of its own, at any instant, so it never reads
// a record that is being written: a record is filled while unpublished, then
// published with a single store of a pointer to it. Withdrawing is a single
// store of a null pointer, made before the file goes.
#include <atomic>

#include "platform/win32.h"

namespace tarnwick::platform {
namespace {

struct RunFile {
  char path[kRunFilePath] = "";
};

struct Slot {
  RunFile record;
  std::atomic<RunFile*> published{nullptr};
};

Slot g_slots[4];  // by Companion

Slot& slot_of(Companion companion) { return g_slots[static_cast<int>(companion)]; }

}  // namespace

void publish_run_file(Companion companion, const char* path) {
  Slot& slot = slot_of(companion);
  slot.published.store(nullptr);  // a record is never written while published
  copy_name(slot.record.path, sizeof slot.record.path, path);
  injected(Call::kPublish);
  slot.published.store(&slot.record);
}

void withdraw_run_file(Companion companion) {
  slot_of(companion).published.store(nullptr);
  injected(Call::kWithdraw);
}

void remove_run_files() {
  // The journal and the backup may hold the only old text: the next run
  // decides what becomes of them.
  for (const Companion companion : {Companion::kTemporary, Companion::kLock}) {
    if (const RunFile* file = slot_of(companion).published.exchange(nullptr)) DeleteFileA(file->path);
  }
}

}  // namespace tarnwick::platform
