// Win32 backend: temporary files beside the file, each named after the
// process that made it, which take the file's place by a rename through
// their own handle, in one step: the file's name never goes missing.
#include <cstring>
#include <string>
#include <utility>

#include "platform/win32/system.h"

namespace tarnwick::platform {
namespace {

bool g_unflushed_replace = false;

std::wstring temporary_path(const Site& site, std::uint64_t number) {
  return companion_path(site, Companion::kTemporary, number == 0 ? L"" : (L"-" + std::to_wstring(number)).c_str());
}

}  // namespace

bool take_unflushed_replace() { return std::exchange(g_unflushed_replace, false); }

Handle create_temporary(const Site& site, std::uint64_t& number) {
  if (injected(Call::kCreateTemporary)) return kInvalidHandle;
  number = GetCurrentProcessId();
  const std::wstring path = temporary_path(site, number);
  if (path.size() >= kRunFilePath) return fail_with(kErrorPathNotFound, kInvalidHandle);
  CompanionSecurity security(site, Readers::kAsTheFile);
  const auto make = [&] {
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER, 0,
                       security.attributes(), CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE file = make();
  // Its name is this process's: what holds it was left by a process that
  // had the number before.
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS && remove_what_is_at(path)) file = make();
  if (file == INVALID_HANDLE_VALUE) return fail_with_system_error(kInvalidHandle);
  return handle_of(file);
}

// Every temporary file here has its name from the start.
bool name_temporary(const Site&, Handle, std::uint64_t&) { return fail_with(kErrorGenFailure, false); }

bool move_temporary(const Site& site, Handle& temporary, std::uint64_t) {
  if (injected(Call::kReplace)) return false;
  // The rename takes the native form of the path: "\??\" for "\\?\".
  std::wstring target = wide_path(site);
  target[1] = L'?';
  const std::size_t name_size = target.size() * sizeof(wchar_t);
  std::string buffer(sizeof(FILE_RENAME_INFO) + name_size, '\0');
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(name_size);
  std::memcpy(rename->FileName, target.data(), name_size);
  if (!SetFileInformationByHandle(native(temporary), FileRenameInfo, rename, static_cast<DWORD>(buffer.size()))) {
    return fail_with_system_error(false);
  }
  g_unflushed_replace = !FlushFileBuffers(native(temporary));
  CloseHandle(native(temporary));
  temporary = kInvalidHandle;
  return true;
}

void remove_temporary(const Site& site, std::uint64_t number) { DeleteFileW(temporary_path(site, number).c_str()); }

}  // namespace tarnwick::platform
