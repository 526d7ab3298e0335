// Win32 backend: the files a run keeps beside the file it edits, named after
// its final path in the wide "\\?\" form.
#include <cstring>
#include <string>

#include "platform/win32/system.h"

namespace tarnwick::platform {
namespace {

// Some systems follow a link even when asked to open it itself: what was
// opened is then known by a name of its own, and is nothing of the run's.
bool names_itself(HANDLE file, const std::wstring& path) {
  const std::wstring opened = final_path(file);
  return CompareStringOrdinal(opened.c_str(), -1, path.c_str(), -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

bool leads_nowhere(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_READY:
    case ERROR_BAD_NETPATH:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_DIRECTORY:
    case ERROR_INVALID_PARAMETER:
      return true;
    default:
      return false;
  }
}

bool folder_or_link(HANDLE file, const std::wstring& path) {
  BY_HANDLE_FILE_INFORMATION info;
  return !GetFileInformationByHandle(file, &info) ||
         (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
         !names_itself(file, path);
}

bool remove_what_is_at(const std::wstring& path) {
  const OwnedHandle found(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                      kItself, nullptr));
  FILE_DISPOSITION_INFO gone{TRUE};
  return found.valid() && names_itself(found.get(), path) &&
         SetFileInformationByHandle(found.get(), FileDispositionInfo, &gone, sizeof gone);
}

std::wstring wide_path(const Site& site) {
  return std::wstring(reinterpret_cast<const wchar_t*>(site.path.data()), site.path.size() / sizeof(wchar_t));
}

std::wstring companion_path(const Site& site, Companion companion, const wchar_t* more) {
  std::wstring path = wide_path(site);
  for (const char* suffix = companion_suffix(companion); *suffix != '\0'; ++suffix) path += static_cast<wchar_t>(*suffix);
  return path + more;
}

Standing what_stands_at(const std::wstring& path, const Site& site, Companion companion) {
  const OwnedHandle found(CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                      OPEN_EXISTING, kItself, nullptr));
  if (!found.valid()) return leads_nowhere(GetLastError()) ? Standing::kNone : Standing::kOther;
  if (folder_or_link(found.get(), path)) return Standing::kFolderOrLink;
  return trusted_companion(companion, facts_of(found.get(), site)) ? Standing::kTrusted : Standing::kOther;
}

void remove_leftovers(const Site& site) {
  const std::wstring temporary = companion_path(site, Companion::kTemporary);
  const std::wstring directory = wide_path(site).substr(0, site.name_at / sizeof(wchar_t));
  const auto remove_if_trusted = [&](const std::wstring& path) {
    OwnedHandle found(CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                  kItself, nullptr));
    const bool trusted = found.valid() && !folder_or_link(found.get(), path) &&
                         trusted_companion(Companion::kTemporary, facts_of(found.get(), site));
    found.reset(INVALID_HANDLE_VALUE);
    if (trusted) remove_what_is_at(path);
  };
  remove_if_trusted(temporary);
  // Those named after their process.
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((temporary + L"-*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  struct Search {
    HANDLE handle;
    ~Search() { FindClose(handle); }
  } const closed{search};
  const std::size_t number_at = temporary.size() - directory.size() + 1;  // after the "-"
  do {
    const std::wstring name = found.cFileName;
    if (name.size() > number_at && name.find_first_not_of(L"0123456789", number_at) == std::wstring::npos) {
      remove_if_trusted(directory + name);
    }
  } while (FindNextFileW(search, &found));
}

// The system logs its directories: a move goes through durably on its own
// (write-through), and a journal's end is made durable in place (above).
// What is left to report is a replace whose flush failed (save.cc).
bool sync_directory(const Site&) {
  if (injected(Call::kSyncDirectory)) return false;
  return !take_unflushed_replace();
}

}  // namespace tarnwick::platform
