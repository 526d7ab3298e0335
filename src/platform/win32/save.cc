// Win32 backend: the steps of a save.
//
// A temporary file gets the target's owner, access list, attributes and
// birth, then takes its place (temporary.cc); a copy whose security cannot be
// made the target's is not used (the save goes in place).
#include <cstring>
#include <string>
#include <utility>

#include "platform/win32/system.h"

namespace tarnwick::platform {
namespace {

// The attributes a file keeps across a replace.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// True when the file at `path` has a named stream besides its text, which a
// replace would lose; also when that cannot be told.
bool has_other_streams(const wchar_t* path) {
  WIN32_FIND_STREAM_DATA stream;
  const HANDLE search = FindFirstStreamW(path, FindStreamInfoStandard, &stream, 0);
  if (search == INVALID_HANDLE_VALUE) return GetLastError() != ERROR_HANDLE_EOF;  // EOF: none at all
  bool other = false;
  do {
    other = other || std::wcscmp(stream.cStreamName, L"::$DATA") != 0;
  } while (!other && FindNextStreamW(search, &stream));
  FindClose(search);
  return other;
}

}  // namespace

Handle open_for_update(const Site& site) {
  if (injected(Call::kOpenForUpdate)) return kInvalidHandle;
  const std::wstring path = wide_path(site);
  // The read-only attribute is honoured before anything is opened for
  // writing, for every user: it is never cleared.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return fail_with(kErrorAccessDenied, kInvalidHandle);
  }
  // Nobody else may have it open meanwhile; but where runs lock the file
  // itself, this run holds it open for its lock, and runs waiting for it do
  // too: they only read, and reading is shared with them.
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, holds_file_lock() ? FILE_SHARE_READ : 0,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail_with_system_error(kInvalidHandle);
  return handle_of(file);
}

// The file is held without delete sharing from open_for_update() on: nothing
// can take its name meanwhile.
bool names_file(const Site&, Handle) { return true; }

bool copy_metadata(Handle target, Handle temporary) {
  if (injected(Call::kCopyMetadata)) return false;
  FILE_BASIC_INFO basic{};
  if (!copy_security(native(target), native(temporary)) ||
      !GetFileInformationByHandleEx(native(target), FileBasicInfo, &basic, sizeof basic)) {
    return fail_with_system_error(false);
  }
  // Its birth and attributes; its times of writing are its own.
  FILE_BASIC_INFO kept{};
  kept.CreationTime = basic.CreationTime;
  kept.FileAttributes = (basic.FileAttributes & kKeptAttributes) != 0 ? basic.FileAttributes & kKeptAttributes
                                                                       : FILE_ATTRIBUTE_NORMAL;
  if (!SetFileInformationByHandle(native(temporary), FileBasicInfo, &kept, sizeof kept)) return fail_with_system_error(false);
  const std::wstring path = final_path(native(target));
  return (!path.empty() && !has_other_streams(path.c_str())) || fail_with(kErrorAccessDenied, false);
}

bool sync(Handle handle) {
  if (injected(Call::kSync)) return false;
  return FlushFileBuffers(native(handle)) != 0 || fail_with_system_error(false);
}

bool write_at(Handle handle, std::int64_t offset, std::string_view bytes) {
  if (injected(Call::kWriteAt)) return false;
  LARGE_INTEGER position;
  position.QuadPart = offset;
  if (!SetFilePointerEx(native(handle), position, nullptr, FILE_BEGIN)) return fail_with_system_error(false);
  return write_fully(native(handle), bytes);
}

// Windows has no call that shares a file's extents with another on the file
// systems a hosts file lives on: the bytes are written.
bool copy_range(Handle, std::uint64_t, Handle to, std::string_view bytes) {
  return !injected(Call::kCopyRange) && write_fully(native(to), bytes);
}

// Write-back there starts by itself: FlushFileBuffers is the only call, and it waits.
void start_write_back(Handle) {}

bool truncate(Handle handle, std::int64_t size) {
  if (injected(Call::kTruncate)) return false;
  LARGE_INTEGER position;
  position.QuadPart = size;
  return (SetFilePointerEx(native(handle), position, nullptr, FILE_BEGIN) && SetEndOfFile(native(handle))) ||
         fail_with_system_error(false);
}

// Windows keeps nothing that writing a file takes away.
bool capability_of(Handle, Capability& out) { return out.size = 0, !injected(Call::kCapability); }
bool restore_capability(Handle, const Capability&) { return true; }

}  // namespace tarnwick::platform
