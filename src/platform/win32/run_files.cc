// Win32 backend: the run's own files, as the console handler sees them.
//
// The handler runs on a thread of its own, at any instant, so it never reads
// a record that is being written: a record is filled while unpublished, then
// published with a single store of a pointer to it. Withdrawing is a single
// store of a null pointer, made before the file goes.
#include <algorithm>
#include <atomic>
#include <cwchar>
#include <string>

#include "platform/win32/system.h"

namespace tarnwick::platform {
namespace {

struct RunFile {
  wchar_t path[kRunFilePath] = L"";
};

struct Slot {
  RunFile record;
  std::atomic<RunFile*> published{nullptr};
};

Slot g_slots[3];  // by Companion

Slot& slot_of(Companion companion) { return g_slots[static_cast<int>(companion)]; }

}  // namespace

void publish_run_file(Companion companion, const Site& site, std::uint64_t number) {
  const std::wstring path = companion_path(site, companion, number == 0 ? L"" : (L"-" + std::to_wstring(number)).c_str());
  Slot& slot = slot_of(companion);
  slot.published.store(nullptr);  // a record is never written while published
  if (path.size() >= kRunFilePath) return;  // no such name can have been made
  std::wmemcpy(slot.record.path, path.c_str(), path.size() + 1);
  injected(Call::kPublish);
  slot.published.store(&slot.record);
}

void withdraw_run_file(Companion companion) {
  slot_of(companion).published.store(nullptr);
  injected(Call::kWithdraw);
}

void remove_run_files() {
  // The journal may hold the only old text: the next run decides what
  // becomes of it. The lock file goes with the process's last handle.
  if (const RunFile* file = slot_of(Companion::kTemporary).published.exchange(nullptr)) DeleteFileW(file->path);
}

}  // namespace tarnwick::platform
