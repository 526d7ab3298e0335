// Win32 backend: the journal beside the file, and the mark on the file
// itself, a stream of it.
#include <string>

#include <winternl.h>

#include "platform/win32/system.h"

namespace tarnwick::platform {

Handle create_journal(const Site& site) {
  if (injected(Call::kOpenCompanion)) return kInvalidHandle;
  const std::wstring path = companion_path(site, Companion::kJournal);
  CompanionSecurity security(site, Readers::kAsTheFile);
  const auto make = [&] {
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL | WRITE_OWNER, 0, security.attributes(),
                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE file = make();
  if (file == INVALID_HANDLE_VALUE && (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS)) {
    // A journal a run trusted with the file may have left stays: it may hold
    // the only old text. So may a file of a run this one does not know,
    // which is set aside; a folder or a link is no run's, and goes.
    const Standing standing = what_stands_at(path, site, Companion::kJournal);
    if (standing == Standing::kTrusted) return fail_with(kErrorFileExists, kInvalidHandle);
    const bool gone = standing == Standing::kFolderOrLink ? remove_what_is_at(path) : set_aside_journal(site);
    if (gone) file = make();
  }
  if (file == INVALID_HANDLE_VALUE) return fail_with_system_error(kInvalidHandle);
  return handle_of(file);
}

Handle open_journal(const Site& journal, const Site& file, const FileIdentity* marked, bool& trusted) {
  if (injected(Call::kOpenCompanion)) return kInvalidHandle;
  trusted = false;
  const std::wstring path = companion_path(journal, Companion::kJournal);
  OwnedHandle found(CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                kItself, nullptr));
  // Where the path leads nowhere, no run can have left one; a file this user
  // may not read it cannot judge.
  if (!found.valid()) {
    return fail_with(leads_nowhere(GetLastError()) ? kErrorFileNotFound : static_cast<ErrorCode>(GetLastError()),
                     kInvalidHandle);
  }
  // A folder or a link in its place was not made by a run.
  if (folder_or_link(found.get(), path)) return fail_with(kErrorFileNotFound, kInvalidHandle);
  CompanionFacts facts = facts_of(found.get(), file);
  FileIdentity mine;
  facts.vouched_by_mark = marked != nullptr && identify(handle_of(found.get()), mine) && mine == *marked;
  trusted = trusted_companion(Companion::kJournal, facts);
  return handle_of(found.release());
}

bool remove_journal(const Site& site) {
  if (injected(Call::kRemoveCompanion)) return false;
  const std::wstring path = companion_path(site, Companion::kJournal);
  // The system may keep a removed name through a power cut. A journal's head
  // is cleared, durably, before it goes: one not whole is never played back.
  const OwnedHandle journal(CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!journal.valid()) return leads_nowhere(GetLastError()) || fail_with_system_error(false);
  // What is not a journal's file is not the run's to clear.
  if (folder_or_link(journal.get(), path)) return fail_with(kErrorAccessDenied, false);
  static const char kCleared[8] = {};
  DWORD written = 0;
  FILE_DISPOSITION_INFO gone{TRUE};
  return (WriteFile(journal.get(), kCleared, sizeof kCleared, &written, nullptr) && written == sizeof kCleared &&
          FlushFileBuffers(journal.get()) &&
          SetFileInformationByHandle(journal.get(), FileDispositionInfo, &gone, sizeof gone)) ||
         fail_with_system_error(false);
}

bool set_aside_journal(const Site& site) {
  if (injected(Call::kSetAside)) return false;
  const std::wstring path = companion_path(site, Companion::kJournal);
  for (int n = 1; n < 1000; ++n) {
    // Without MOVEFILE_REPLACE_EXISTING: an earlier journal set aside stays.
    if (MoveFileExW(path.c_str(), (path + L"." + std::to_wstring(n)).c_str(), MOVEFILE_WRITE_THROUGH)) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) return fail_with_system_error(false);
  }
  return fail_with(kErrorAccessDenied, false);
}

// ---- The mark: a stream of the file ------------------------------------------

namespace {

// The stream that holds the mark, opened relative to the open file, so that
// it is the file's whatever name it was opened by. A file system that keeps
// no streams (FAT; Wine keeps none) refuses the name.
HANDLE open_mark(HANDLE file, ACCESS_MASK access, ULONG disposition, NTSTATUS& status) {
  static wchar_t name[] = L":tarnwick.mark";
  UNICODE_STRING stream{static_cast<USHORT>(sizeof name - sizeof(wchar_t)), static_cast<USHORT>(sizeof name), name};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &stream, 0, file, nullptr);
  IO_STATUS_BLOCK io;
  HANDLE mark = INVALID_HANDLE_VALUE;
  status = NtCreateFile(&mark, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                        FILE_SHARE_READ, disposition, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
  return status >= 0 ? mark : INVALID_HANDLE_VALUE;
}

bool no_streams(NTSTATUS status) {
  return status == static_cast<NTSTATUS>(0xC000003A) ||  // STATUS_OBJECT_PATH_NOT_FOUND
         status == static_cast<NTSTATUS>(0xC0000033) ||  // STATUS_OBJECT_NAME_INVALID
         status == static_cast<NTSTATUS>(0xC000000D) ||  // STATUS_INVALID_PARAMETER
         status == static_cast<NTSTATUS>(0xC00000BB);    // STATUS_NOT_SUPPORTED
}

bool fail_with_status(NTSTATUS status) { return fail_with(static_cast<ErrorCode>(RtlNtStatusToDosError(status)), false); }

}  // namespace

bool set_mark(Handle file, std::string_view mark) {
  if (injected(Call::kSetMark)) return false;
  NTSTATUS status = 0;
  const OwnedHandle stream(open_mark(native(file), GENERIC_WRITE, FILE_OVERWRITE_IF, status));
  if (!stream.valid()) return no_streams(status) ? fail_with(kErrorNotSupported, false) : fail_with_status(status);
  return (write_fully(stream.get(), mark) && FlushFileBuffers(stream.get())) || fail_with_system_error(false);
}

bool clear_mark(Handle file) {
  if (injected(Call::kClearMark)) return false;
  NTSTATUS status = 0;
  const OwnedHandle stream(open_mark(native(file), DELETE, FILE_OPEN, status));
  if (!stream.valid()) {
    return status == static_cast<NTSTATUS>(0xC0000034) || no_streams(status) || fail_with_status(status);  // not there
  }
  FILE_DISPOSITION_INFO gone{TRUE};
  return (SetFileInformationByHandle(stream.get(), FileDispositionInfo, &gone, sizeof gone) &&
          FlushFileBuffers(native(file))) ||
         fail_with_system_error(false);
}

bool read_mark(const Site& site, std::string& out) {
  out.clear();
  const OwnedHandle file(CreateFileW(wide_path(site).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.valid()) return fail_with_system_error(false);
  NTSTATUS status = 0;
  const OwnedHandle stream(open_mark(file.get(), GENERIC_READ, FILE_OPEN, status));
  // None there, or no streams kept at all.
  if (!stream.valid() && (status == static_cast<NTSTATUS>(0xC0000034) || no_streams(status))) {
    return fail_with(kErrorFileNotFound, false);
  }
  if (!stream.valid()) return fail_with_status(status);
  out.resize(kMarkCapacity + 1);
  DWORD got = 0;
  if (!ReadFile(stream.get(), out.data(), static_cast<DWORD>(out.size()), &got, nullptr)) return fail_with_system_error(false);
  if (got == 0 || got > kMarkCapacity) {
    out.clear();
    return fail_with(kErrorFileNotFound, false);
  }
  out.resize(got);
  return true;
}

}  // namespace tarnwick::platform
