// Win32 backend: the lock that keeps runs on one file from overlapping.
//
// Runs share a lock file beside the file, which its holder keeps open with
// no sharing and which the system removes when the holder's last handle
// closes, however the holder ends. A run takes it in attempts: make it, or
// open one that nobody holds (a power cut can leave one); where another holds
// it, its security says whose it is. One a trusted run holds is waited for
// without limit. One that no trusted run made is removed where this run may;
// while it stays, the run waits 10 seconds at most.
#include <string>

#include "platform/win32/system.h"

namespace tarnwick::platform {
namespace {

constexpr DWORD kLockWaitMilliseconds = 10000;
constexpr DWORD kPauseMilliseconds = 10;
// Something at the lock file's name that no run made is removed this many
// times at most: a user who keeps putting one back is waited out, then
// reported.
constexpr int kMostRemovals = 3;
constexpr int kMostRefusals = 3;
// A name that is there to make and gone to open, time after time, is no run's.
constexpr int kMostVanishings = 100;
constexpr DWORD kHold = GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_OWNER;

// What one attempt at the lock file comes to: held; to be tried again at
// once (what stood in the way is gone); to be waited for, without limit (a
// trusted run's) or for 10 seconds at most (anything else); or refused.
enum class Attempt { kHeld, kAgain, kWait, kWaitAtMost, kRefused };

// What earlier attempts did, which bounds what later ones may do.
struct Tries {
  int removals = 0, refusals = 0, vanished = 0;
};

Attempt attempt(const Site& site, const std::wstring& path, CompanionSecurity& security, Tries& tries,
                OwnedHandle& lock, DWORD& error) {
  lock.reset(CreateFileW(path.c_str(), kHold, 0, security.attributes(), CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (lock.valid()) {
    adopt_owner(site, lock.get());  // so that another administrator's run waits for it too
    return Attempt::kHeld;
  }
  error = GetLastError();
  if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
    // Nobody holds it: a run's that a power cut kept is taken, and removed
    // as it closes; anything else goes now, by its name (a link alone).
    lock.reset(CreateFileW(path.c_str(), kHold, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    error = lock.valid() ? ERROR_SHARING_VIOLATION : GetLastError();
    if (lock.valid()) {
      FILE_DISPOSITION_INFO removed_on_close{TRUE};
      const bool own_name = !folder_or_link(lock.get(), path);
      const bool removed = own_name && SetFileInformationByHandle(lock.get(), FileDispositionInfo, &removed_on_close,
                                                                   sizeof removed_on_close);
      if (removed && trusted_companion(Companion::kLock, facts_of(lock.get(), site))) return Attempt::kHeld;
      lock.reset(INVALID_HANDLE_VALUE);
      if (removed && tries.removals++ < kMostRemovals) return Attempt::kAgain;
    }
  }
  // Its holder ended meanwhile; or a link that leads nowhere, which goes
  // (a held lock file cannot).
  if (error == ERROR_SHARING_VIOLATION) tries.vanished = 0;
  if (error == ERROR_FILE_NOT_FOUND && ++tries.vanished < kMostVanishings) {
    remove_what_is_at(path);
    return Attempt::kAgain;
  }
  const Standing holder = error == ERROR_FILE_NOT_FOUND ? Standing::kOther : what_stands_at(path, site, Companion::kLock);
  // Nothing there, yet this user may not make one: the run goes unguarded.
  // A lock file its holder just let go refuses to be made for a moment too.
  if (holder == Standing::kNone && error != ERROR_SHARING_VIOLATION && error != ERROR_FILE_EXISTS &&
      ++tries.refusals >= kMostRefusals) {
    return Attempt::kRefused;
  }
  if (holder == Standing::kFolderOrLink && tries.removals++ < kMostRemovals && remove_what_is_at(path)) {
    return Attempt::kAgain;
  }
  // Held by a trusted run: its turn ends. Anything else (something that
  // cannot be removed, or a lock file this user may not open, which a power
  // cut may have left) is waited for 10 seconds at most.
  if (holder != Standing::kNone && (holder != Standing::kTrusted || error != ERROR_SHARING_VIOLATION)) {
    return Attempt::kWaitAtMost;
  }
  return Attempt::kWait;
}

}  // namespace

Handle lock_companion(const Site& site) {
  if (injected(Call::kLockCompanion)) return kInvalidHandle;
  const std::wstring path = companion_path(site, Companion::kLock);
  CompanionSecurity security(site, Readers::kNone);
  Tries tries;
  OwnedHandle lock(INVALID_HANDLE_VALUE);
  DWORD error = 0;
  ULONGLONG waited_since = 0;  // for what no trusted run holds
  for (;;) {
    switch (attempt(site, path, security, tries, lock, error)) {
      case Attempt::kHeld:
        return handle_of(lock.release());
      case Attempt::kAgain:
        continue;
      case Attempt::kRefused:
        return fail_with(static_cast<ErrorCode>(error), kInvalidHandle);
      case Attempt::kWaitAtMost:
        if (waited_since == 0) waited_since = GetTickCount64();
        if (GetTickCount64() - waited_since >= kLockWaitMilliseconds) return fail_with(kErrorSharingViolation, kInvalidHandle);
        break;
      case Attempt::kWait:
        break;
    }
    Sleep(kPauseMilliseconds);
  }
}

// Closing it removes it: a run waiting for it then makes the next one.
void unlock_companion(const Site&, Handle lock) { CloseHandle(native(lock)); }

namespace {

// This process's lock on the file itself, while it holds one.
bool g_holds_file_lock = false;

}  // namespace

bool holds_file_lock() { return g_holds_file_lock; }

// A byte far past any end of the file: a lock on it keeps no reader or
// writer out, only other runs. Any reader may take it too, and a reader's
// hold cannot be told from a run's; but a run's ends, and a queue of runs
// changes the file as it goes. So the lock is waited for as long as the file
// changes at least every 10 seconds.
Handle lock_itself(const Site& site, bool holds_lock_file) {
  if (injected(Call::kLockItself)) return kInvalidHandle;
  // Where nobody else may write the file and it has one name, the lock file
  // is every run's: the file is not locked, and its save shares nothing.
  if (holds_lock_file && !others_may_write(site)) return fail_with(kErrorNotSupported, kInvalidHandle);
  OwnedHandle file(CreateFileW(wide_path(site).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file.valid()) return fail_with_system_error(kInvalidHandle);
  OVERLAPPED far_byte{};
  far_byte.Offset = kLockByteLow;
  far_byte.OffsetHigh = kLockByteHigh;
  ULONGLONG since = GetTickCount64();
  FileStamp seen;
  stamp(handle_of(file.get()), seen);
  while (!LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &far_byte)) {
    if (GetLastError() != ERROR_LOCK_VIOLATION) return fail_with_system_error(kInvalidHandle);
    FileStamp now;
    if (stamp(handle_of(file.get()), now) && !(now == seen)) seen = now, since = GetTickCount64();
    if (GetTickCount64() - since >= kLockWaitMilliseconds) return fail_with(kErrorSharingViolation, kInvalidHandle);
    Sleep(kPauseMilliseconds);
  }
  g_holds_file_lock = true;
  return handle_of(file.release());
}

void unlock_itself(Handle lock) {
  CloseHandle(native(lock));
  g_holds_file_lock = false;
}

// Runs through another of the file's names hold another lock file, and
// runs of those who may not make one hold none: they meet on the file
// itself.
bool others_may_write(const Site& site) {
  const OwnedHandle file(CreateFileW(wide_path(site).c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  return !file.valid() || !GetFileInformationByHandle(file.get(), &info) || info.nNumberOfLinks > 1 ||
         others_may_write_file(site);
}

}  // namespace tarnwick::platform
