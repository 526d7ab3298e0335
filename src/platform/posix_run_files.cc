// POSIX backend: the run's own files, as the signal handlers see them.
//
// An interrupt may come at any instant and a fault (SIGSEGV, SIGBUS) cannot be
// held off, so a handler may run while a name is being copied. It never reads
// a record that is being written: each companion has two records, of which at
// most one is published. A new name is written whole into the other one and
// published with a single store of a pointer to it; withdrawing is a single
// store of a null pointer, made before the file goes, so that a handler never
// removes a name another run has taken meanwhile.
#include <unistd.h>

#include <atomic>

#include "platform/posix.h"

namespace tarnwick::platform {
namespace {

struct RunFile {
  int directory = -1;
  char name[NAME_MAX + 1] = "";
};

struct Slot {
  RunFile records[2];
  std::atomic<RunFile*> published{nullptr};
};
static_assert(std::atomic<RunFile*>::is_always_lock_free);

Slot g_slots[4];  // by Companion

Slot& slot_of(Companion companion) { return g_slots[static_cast<int>(companion)]; }

}  // namespace

void publish_run_file(Companion companion, int directory, const char* name) {
  Slot& slot = slot_of(companion);
  RunFile* spare = slot.published.load() == &slot.records[0] ? &slot.records[1] : &slot.records[0];
  spare->directory = directory;
  copy_name(spare->name, sizeof spare->name, name);
  injected(Call::kPublish);  // an interrupt here sees the record before, or none
  slot.published.store(spare);
}

void withdraw_run_file(Companion companion) {
  slot_of(companion).published.store(nullptr);
  injected(Call::kWithdraw);  // an interrupt here sees none
}

void remove_run_files() {
  // The journal (and a backup) may hold the only old text: the next run
  // decides what becomes of it.
  for (const Companion companion : {Companion::kTemporary, Companion::kLock}) {
    if (const RunFile* file = slot_of(companion).published.exchange(nullptr)) unlinkat(file->directory, file->name, 0);
  }
}

}  // namespace tarnwick::platform
