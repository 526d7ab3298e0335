// What the Win32 backend's files share.
//
// A file's site holds its final path in its "\\?\" form, as UTF-16 code units
// kept as bytes: the wide calls on that form have no length limit, and spell
// every name the system can, so that the files beside it are found whatever
// the ANSI code page and however long the path.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "platform/common.h"

namespace tarnwick::platform {

inline HANDLE native(Handle handle) { return reinterpret_cast<HANDLE>(handle); }
inline Handle handle_of(HANDLE handle) { return reinterpret_cast<Handle>(handle); }

// Records GetLastError as the last error; gives `result` for convenience.
template <typename T>
T fail_with_system_error(T result) {
  return fail_with(static_cast<ErrorCode>(GetLastError()), result);
}

// Closes a handle on every way out (an allocation that fails raises), unless
// it is let go.
class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { reset(INVALID_HANDLE_VALUE); }
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE release() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }
  void reset(HANDLE handle) {
    if (valid()) CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_;
};

// Writes all of the bytes. A write the system takes without a byte ends it:
// a failure, or with `quietly` a success that drops the rest.
bool write_fully(HANDLE handle, std::string_view bytes, bool quietly = false);

// The final path of an open file, in the "\\?\" form; empty when the system
// cannot tell it.
std::wstring final_path(HANDLE file);

// The site's final path, and the path of its companion (with `more` after
// the companion's suffix).
std::wstring wide_path(const Site& site);
std::wstring companion_path(const Site& site, Companion companion, const wchar_t* more = L"");

// True once, after a replace whose flush failed: the new text has the
// file's name, but a power cut may yet take it back.
bool take_unflushed_replace();

// The run's own files, by their full paths, as the console handler sees them
// (see run_files.cc).
inline constexpr std::size_t kRunFilePath = 32768 + 64;

// The console's handler: Ctrl-C, Ctrl-Break, the window closed, logoff and
// shutdown wait for a save in progress, then end the process.
BOOL WINAPI on_console_event(DWORD event);

// ---- Who is trusted with a file (security.cc) ----------------------------------

// The access a companion gives. Every companion is its maker's, the file's
// owner's, the administrators' and the system's to change, and nobody
// else's; a journal and a temporary copy the file's text, so whoever may
// read the file may read them. A lock file is readable by nobody else: a
// reader holding it open would hold every run up.
enum class Readers { kAsTheFile, kNone };

// A security descriptor for a new companion of the file at `site`, and the
// attributes that carry it. Empty (no descriptor: the folder's) when the
// file's own cannot be read.
class CompanionSecurity {
 public:
  CompanionSecurity(const Site& site, Readers readers);
  CompanionSecurity(const CompanionSecurity&) = delete;
  CompanionSecurity& operator=(const CompanionSecurity&) = delete;
  ~CompanionSecurity();
  SECURITY_ATTRIBUTES* attributes() { return made_ ? &attributes_ : nullptr; }

 private:
  SECURITY_ATTRIBUTES attributes_{sizeof attributes_, nullptr, FALSE};
  SECURITY_DESCRIPTOR descriptor_{};
  alignas(DWORD) BYTE maker_[SECURITY_MAX_SID_SIZE] = {};  // the owner
  void* acl_ = nullptr;
  bool made_ = false;
};

// Who made a companion with this security descriptor, for a file owned by
// `file_owner` and a run of `user`, and whether its access list lets anyone
// else write it, delete it, or change its access or its owner (no access
// list, or a null one, lets everybody).
CompanionFacts descriptor_facts(PSECURITY_DESCRIPTOR descriptor, PSID file_owner, PSID user);

// The same for the open file `companion`, beside the file at `site`, and what
// kind of file it is.
CompanionFacts facts_of(HANDLE companion, const Site& site);

// Gives the open file `to` the owner of the file at `from`, where this user
// may: a companion the file's owner owns is every trusted run's.
bool adopt_owner(const Site& from, HANDLE to);

// Gives `to` the owner, group and access list of `from`. False when the
// system refuses any of them.
bool copy_security(HANDLE from, HANDLE to);

// True when the access list of the file at `site` lets someone write it
// besides its owner, the administrators, the system, the trusted installer
// and this user; also when that cannot be told.
bool others_may_write_file(const Site& site);

// True while this process holds the file's own lock (lock_itself()), whose
// handle reads the file: its save then shares reading with it.
bool holds_file_lock();
// The byte runs lock the file by: far past any end of the file, so that a
// lock on it keeps no reader or writer out, only other runs.
inline constexpr DWORD kLockByteLow = 0xFFFFFFFE, kLockByteHigh = 0x7FFFFFFF;

// Opens shared with everybody; opens what stands at a name itself, a folder
// or a link included.
inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
inline constexpr DWORD kItself = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// True for the errors that say a path leads nowhere: no such file, folder,
// drive, server or share, or no such name at all.
bool leads_nowhere(DWORD error);

// A folder, or a link or other reparse point: what was opened at `path` is
// not a file of that name.
bool folder_or_link(HANDLE file, const std::wstring& path);
// What stands at the name `path` of a companion of the file at `site`:
// nothing (the path leads nowhere), a companion a trusted run made, a folder
// or a link, or something else (or something this user may not judge).
enum class Standing { kNone, kTrusted, kOther, kFolderOrLink };
Standing what_stands_at(const std::wstring& path, const Site& site, Companion companion);

// Removes what stands at `path` (a link itself, never what it leads to; a
// folder only when empty). False when it cannot.
bool remove_what_is_at(const std::wstring& path);

}  // namespace tarnwick::platform
