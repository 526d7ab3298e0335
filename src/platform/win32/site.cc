// Win32 backend: where a file lives, found once by its final path, and what
// tells one state of it from another.
#include <string>

#include <winternl.h>

#include "platform/win32/system.h"

namespace tarnwick::platform {

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
  const std::size_t name = full.find_last_of(L'\\') + 1;  // 0 without a backslash
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

bool identify(Handle handle, FileIdentity& out) {
  BY_HANDLE_FILE_INFORMATION info;
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandle(native(handle), &info) ||
      !GetFileInformationByHandleEx(native(handle), FileBasicInfo, &basic, sizeof basic)) {
    return fail_with_system_error(false);
  }
  out = {info.dwVolumeSerialNumber, (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
         basic.CreationTime.QuadPart};
  return true;
}

// The files beside a path are reached by their own full paths: nothing to
// hold, nothing to enter first.
bool site_at(std::string_view path, Site& out) {
  const std::wstring wide(reinterpret_cast<const wchar_t*>(path.data()), path.size() / sizeof(wchar_t));
  const std::size_t slash = wide.find_last_of(L'\\');
  if (slash == std::wstring::npos || slash + 1 == wide.size()) return fail_with(kErrorPathNotFound, false);
  out.path.assign(path);
  out.name_at = (slash + 1) * sizeof(wchar_t);
  out.directory = kInvalidHandle;
  return true;
}

// Windows mounts folders and volumes, not files.
bool mounted_elsewhere(const Site&) { return false; }

}  // namespace tarnwick::platform
