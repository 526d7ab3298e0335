// POSIX backend: the run's own files, as the signal handlers see them.
//
// An interrupt may come at any instant and a fault (SIGSEGV, SIGBUS) cannot be
// held off, so a handler may run while a name is being copied. It never reads
// a record that is being written: a record is filled while unpublished, then
// published with a single store of a pointer to it. Withdrawing is a single
// store of a null pointer, made before the file goes, so that a handler never
// removes a name another run has taken meanwhile.
#include <unistd.h>

#include <atomic>

#include "platform/posix/system.h"

namespace tarnwick::platform {
namespace {

struct RunFile {
  int directory = -1;
  char name[NAME_MAX + 1] = "";
};

struct Slot {
  RunFile record;
  std::atomic<RunFile*> published{nullptr};
};
static_assert(std::atomic<RunFile*>::is_always_lock_free);

Slot g_slots[4];  // by Companion

Slot& slot_of(Companion companion) { return g_slots[static_cast<int>(companion)]; }

}  // namespace

void publish_run_file(Companion companion, const Site& site, std::uint64_t number) {
  Slot& slot = slot_of(companion);
  slot.published.store(nullptr);  // a record is never written while published
  slot.record.directory = site.directory;
  if (!companion_name(site, companion, slot.record.name) ||
      (number != 0 && !append_process_number(slot.record.name, sizeof slot.record.name, static_cast<unsigned long>(number)))) {
    return;  // no such name can have been made
  }
  injected(Call::kPublish);  // an interrupt here sees none
  slot.published.store(&slot.record);
}

void withdraw_run_file(Companion companion) {
  slot_of(companion).published.store(nullptr);
  injected(Call::kWithdraw);  // an interrupt here sees none
}

void remove_run_files() {
  // The journal may hold the only old text: the next run
  // decides what becomes of it.
  for (const Companion companion : {Companion::kTemporary, Companion::kLock}) {
    if (const RunFile* file = slot_of(companion).published.exchange(nullptr)) unlinkat(file->directory, file->name, 0);
  }
}

}  // namespace tarnwick::platform
