// Win32 backend: files, where they live, memory and mapped files.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include <winternl.h>

#include "platform/win32.h"

namespace tarnwick::platform {
bool write_fully(HANDLE handle, const char* data, std::size_t size, bool quietly) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(handle, data, chunk, &written, nullptr)) return fail_with_system_error(false);
    if (written == 0) return quietly || fail_with(static_cast<ErrorCode>(ERROR_WRITE_FAULT), false);
    data += written;
    size -= written;
  }
  return true;
}

// The text after the last backslash (or slash) of a path; a backslash that is
// the second byte of a double-byte character does not count.
const char* file_name_part(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != '\0') {
      ++p;
    } else if (*p == '\\' || *p == '/') {
      name = p + 1;
    }
  }
  return name;
}

// ---- Files ---------------------------------------------------------------------

bool is_existing_file(const char* path) {
  if (injected(Call::kIsExistingFile)) return false;
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(path, &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  FILETIME local;
  SYSTEMTIME when;
  WORD date = 0;
  WORD time = 0;
  // The DOS range is checked by year as well: not every system's conversion
  // refuses the years after 2107.
  return FileTimeToLocalFileTime(&found.ftLastWriteTime, &local) && FileTimeToSystemTime(&local, &when) &&
         when.wYear >= 1980 && when.wYear <= 2107 && FileTimeToDosDateTime(&local, &date, &time);
}

Handle open_for_reading(const char* path) {
  if (injected(Call::kOpenForReading)) return kInvalidHandle;
  const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail_with_system_error(kInvalidHandle);
  return handle_of(file);
}

std::int64_t seek(Handle handle, std::int64_t distance, SeekFrom from) {
  if (injected(Call::kSeek)) return -1;
  const DWORD method = from == SeekFrom::kBegin ? FILE_BEGIN : from == SeekFrom::kEnd ? FILE_END : FILE_CURRENT;
  SetLastError(NO_ERROR);
  const DWORD position = SetFilePointer(native(handle), static_cast<LONG>(distance), nullptr, method);
  if (position == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return fail_with_system_error(std::int64_t{-1});
  return position;
}

std::int64_t read(Handle handle, char* buffer, std::size_t size) {
  if (injected(Call::kRead)) return -1;
  std::size_t total = 0;
  while (total < size) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - total, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(native(handle), buffer + total, chunk, &got, nullptr)) return fail_with_system_error(std::int64_t{-1});
    if (got == 0) break;
    total += got;
  }
  return static_cast<std::int64_t>(total);
}

namespace {

bool write_all(Handle handle, std::string_view bytes, bool quietly) {
  if (injected(Call::kWrite)) return false;
  return write_fully(native(handle), bytes.data(), bytes.size(), quietly);
}

}  // namespace

bool write(Handle handle, std::string_view bytes) { return write_all(handle, bytes, false); }

bool write_output(Handle handle, std::string_view bytes) { return write_all(handle, bytes, true); }

void close(Handle handle) {
  if (injected(Call::kClose)) return;
  CloseHandle(native(handle));
}

// ---- Where a file lives -----------------------------------------------------------

std::wstring final_path(HANDLE file) {
  std::wstring path(MAX_PATH, L'\0');
  DWORD length = 0;
  while ((length = GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS)) >= path.size()) {
    path.resize(length);
  }
  if (length > 0) return path.substr(0, length);
  // Where that call fails (some systems cut its answer at MAX_PATH), the
  // object's own name: "\??\C:\..." is "\\?\C:\...", and a device's name is
  // reached through "\\?\GLOBALROOT".
  std::string buffer(sizeof(OBJECT_NAME_INFORMATION) + 65536, '\0');
  ULONG size = 0;
  auto* name = reinterpret_cast<OBJECT_NAME_INFORMATION*>(buffer.data());
  if (NtQueryObject(file, ObjectNameInformation, name, static_cast<ULONG>(buffer.size()), &size) != 0 ||
      name->Name.Length == 0) {
    return std::wstring();
  }
  std::wstring object(name->Name.Buffer, name->Name.Length / sizeof(wchar_t));
  if (object.starts_with(L"\\??\\")) return L"\\\\?\\" + object.substr(4);
  return L"\\\\?\\GLOBALROOT" + object;
}

// The final file behind every link, by the wide form of its final path. A
// path that opens no file, or opens a folder, names none.
bool locate(const char* path, Site& site) {
  if (injected(Call::kLocate)) return false;
  const OwnedHandle file(CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.valid()) return fail_with_system_error(false);
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file.get(), &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return fail_with(kErrorFileNotFound, false);
  }
  const std::wstring full = final_path(file.get());
  if (full.empty()) return fail_with_system_error(false);
  std::size_t name = full.find_last_of(L'\\');
  name = name == std::wstring::npos ? 0 : name + 1;
  site.path.assign(reinterpret_cast<const char*>(full.data()), full.size() * sizeof(wchar_t));
  site.name_at = name * sizeof(wchar_t);
  site.directory = kInvalidHandle;
  return true;
}

bool stamp(Handle handle, FileStamp& out) {
  if (injected(Call::kStamp)) return false;
  BY_HANDLE_FILE_INFORMATION info;
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandle(native(handle), &info) ||
      !GetFileInformationByHandleEx(native(handle), FileBasicInfo, &basic, sizeof basic)) {
    return fail_with_system_error(false);
  }
  out.device = info.dwVolumeSerialNumber;
  out.file = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  out.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  out.modified = basic.LastWriteTime.QuadPart;
  out.changed = basic.ChangeTime.QuadPart;
  out.links = info.nNumberOfLinks;
  return true;
}

// ---- Mapped files -------------------------------------------------------------------

// The file is read instead: reading keeps the share modes exactly as they are.
char* map_file(Handle, std::size_t) { return fail_with(kErrorNotEnoughMemory, nullptr); }
void unmap_file(char*, std::size_t) {}
bool detach_mapping(char*, std::size_t) { return true; }

}  // namespace tarnwick::platform
