// Win32 backend of the platform layer.
#include "platform/platform.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarnwick::platform {
namespace {

thread_local ErrorCode t_last_error = 0;

template <typename T>
T fail_with(ErrorCode code, T result) {
  t_last_error = code;
  return result;
}

// Records GetLastError as the last error; returns `result` for convenience.
template <typename T>
T fail_with_system_error(T result) {
  return fail_with(static_cast<ErrorCode>(GetLastError()), result);
}

#ifdef TARNWICK_TEST_SEAM
Seam* g_seam = nullptr;
// Stands for standard output while a seam fakes it.
constexpr Handle kFakeStandardOutput = 0x7ffffff0;
#endif

// True when the seam makes `call` fail; the last error then holds its code.
inline bool injected([[maybe_unused]] Call call) {
#ifdef TARNWICK_TEST_SEAM
  if (g_seam != nullptr) {
    if (ErrorCode code = g_seam->fail(call)) {
      t_last_error = code;
      return true;
    }
  }
#endif
  return false;
}

HANDLE native(Handle handle) { return reinterpret_cast<HANDLE>(handle); }
Handle handle_of(HANDLE handle) { return reinterpret_cast<Handle>(handle); }

char g_program_name[MAX_PATH + 1] = "tarnwick.exe";

// The one temporary file of a save in progress; empty when there is none.
char g_temporary_path[MAX_PATH * 2 + 48] = "";

bool write_fully(HANDLE handle, const char* data, std::size_t size) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(handle, data, chunk, &written, nullptr)) return fail_with_system_error(false);
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

void copy_name(char* out, std::size_t capacity, const char* name) {
  const std::size_t length = std::min(std::strlen(name), capacity - 1);
  std::memcpy(out, name, length);
  out[length] = '\0';
}

}  // namespace

ErrorCode last_error() { return t_last_error; }

// ---- Files ---------------------------------------------------------------------

bool is_existing_file(const char* path) {
  if (injected(Call::kIsExistingFile)) return false;
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(path, &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  FILETIME local;
  WORD date = 0;
  WORD time = 0;
  FileTimeToLocalFileTime(&found.ftLastWriteTime, &local);
  return FileTimeToDosDateTime(&local, &date, &time) != 0;
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

bool write(Handle handle, std::string_view bytes) {
  if (injected(Call::kWrite)) return false;
#ifdef TARNWICK_TEST_SEAM
  if (handle == kFakeStandardOutput) {
    if (ErrorCode code = g_seam->write_standard_output(bytes)) return fail_with(code, false);
    return true;
  }
#endif
  return write_fully(native(handle), bytes.data(), bytes.size());
}

void close(Handle handle) {
  if (injected(Call::kClose)) return;
#ifdef TARNWICK_TEST_SEAM
  if (handle == kFakeStandardOutput) return;
#endif
  CloseHandle(native(handle));
}

// ---- Where a file lives -----------------------------------------------------------

// The full path, whether or not a file is there now: a replace by another run
// leaves the name empty for a moment, and the run must still wait for its lock.
bool locate(const char* path, Site& site) {
  if (injected(Call::kLocate)) return false;
  char full[MAX_PATH * 2];
  const DWORD length = GetFullPathNameA(path, sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) return fail_with_system_error(false);
  site.path = full;
  site.name_at = static_cast<std::size_t>(file_name_part(full) - full);
  site.directory = kInvalidHandle;
  return true;
}

bool stamp(Handle handle, FileStamp& out) {
  if (injected(Call::kStamp)) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(native(handle), &info)) return fail_with_system_error(false);
  out.device = info.dwVolumeSerialNumber;
  out.file = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  out.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  out.modified = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                                           info.ftLastWriteTime.dwLowDateTime);
  return true;
}

namespace {

bool companion_path(const Site& site, Companion companion, char (&out)[MAX_PATH * 2 + 32]) {
  static constexpr const char* kSuffixes[] = {".tarnwick-lock", ".tarnwick-journal", ".tarnwick-new"};
  const int written = std::snprintf(out, sizeof out, "%s%s", site.path.c_str(), kSuffixes[static_cast<int>(companion)]);
  return (written > 0 && static_cast<std::size_t>(written) < sizeof out) || fail_with(kErrorPathNotFound, false);
}

}  // namespace

Handle open_companion(const Site& site, Companion companion, bool create) {
  if (injected(Call::kOpenCompanion)) return kInvalidHandle;
  char path[MAX_PATH * 2 + 32];
  if (!companion_path(site, companion, path)) return kInvalidHandle;
  const HANDLE file = create ? CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL, nullptr)
                             : CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail_with_system_error(kInvalidHandle);
  return handle_of(file);
}

bool remove_companion(const Site& site, Companion companion) {
  if (injected(Call::kRemoveCompanion)) return false;
  char path[MAX_PATH * 2 + 32];
  if (!companion_path(site, companion, path)) return false;
  return DeleteFileA(path) || GetLastError() == ERROR_FILE_NOT_FOUND || fail_with_system_error(false);
}

// Directory entries are made durable with the file's own data.
bool sync_directory(const Site&) { return !injected(Call::kSyncDirectory); }

// ---- Replacing a file's content ------------------------------------------------

Handle open_for_update(const Site& site) {
  if (injected(Call::kOpenForUpdate)) return kInvalidHandle;
  // The read-only attribute is honoured before anything is opened for
  // writing, for every user: it is never cleared.
  const DWORD attributes = GetFileAttributesA(site.path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return fail_with(kErrorAccessDenied, kInvalidHandle);
  }
  const HANDLE file = CreateFileA(site.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail_with_system_error(kInvalidHandle);
  return handle_of(file);
}

// A new file inherits its directory's security, as the hosts file does.
bool adopt_owner_and_mode(Handle, Handle) { return !injected(Call::kAdoptOwnerAndMode); }

Handle create_temporary(const Site& site) {
  if (injected(Call::kCreateTemporary)) return kInvalidHandle;
  char path[MAX_PATH * 2 + 32];
  if (!companion_path(site, Companion::kTemporary, path)) return kInvalidHandle;
  const std::size_t length = std::strlen(path);
  const int written = std::snprintf(path + length, sizeof path - length, "-%lu",
                                    static_cast<unsigned long>(GetCurrentProcessId()));
  if (written < 0 || static_cast<std::size_t>(written) >= sizeof path - length) {
    return fail_with(kErrorPathNotFound, kInvalidHandle);
  }
  const HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail_with_system_error(kInvalidHandle);
  std::memcpy(g_temporary_path, path, std::strlen(path) + 1);
  return handle_of(file);
}

// ReplaceFileA keeps the target's security and attributes; only a file with
// more names than one would lose its identity (the other names keep the old
// content).
bool copy_metadata(Handle target, Handle) {
  if (injected(Call::kCopyMetadata)) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(native(target), &info)) return fail_with_system_error(false);
  return info.nNumberOfLinks <= 1 || fail_with(kErrorAccessDenied, false);
}

bool sync(Handle handle) {
  if (injected(Call::kSync)) return false;
  return FlushFileBuffers(native(handle)) != 0 || fail_with_system_error(false);
}

bool replace_with_temporary(const Site& site, Handle& temporary) {
  if (injected(Call::kReplace)) return false;
  // The system will not replace with a file that is still open.
  CloseHandle(native(temporary));
  temporary = kInvalidHandle;
  const char* target = site.path.c_str();
  if (!ReplaceFileA(target, g_temporary_path, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
    const DWORD error = GetLastError();
    // Without a backup name this error means the target is gone and the new
    // text still waits under the temporary name: move it into place.
    if (error != ERROR_UNABLE_TO_MOVE_REPLACEMENT ||
        !MoveFileExA(g_temporary_path, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return fail_with(static_cast<ErrorCode>(error), false);
    }
  }
  g_temporary_path[0] = '\0';
  return true;
}

void discard_temporary() {
  if (g_temporary_path[0] != '\0') {
    DeleteFileA(g_temporary_path);
    g_temporary_path[0] = '\0';
  }
}

bool write_at(Handle handle, std::int64_t offset, std::string_view bytes) {
  if (injected(Call::kWriteAt)) return false;
  LARGE_INTEGER position;
  position.QuadPart = offset;
  if (!SetFilePointerEx(native(handle), position, nullptr, FILE_BEGIN)) return fail_with_system_error(false);
  return write_fully(native(handle), bytes.data(), bytes.size());
}

bool truncate(Handle handle, std::int64_t size) {
  if (injected(Call::kTruncate)) return false;
  LARGE_INTEGER position;
  position.QuadPart = size;
  if (!SetFilePointerEx(native(handle), position, nullptr, FILE_BEGIN) || !SetEndOfFile(native(handle))) {
    return fail_with_system_error(false);
  }
  return true;
}

// ---- Serialising runs ------------------------------------------------------------

// A named mutex per file, so that the file's own share modes stay as they are
// for other programs. The name comes from the full path, in upper case, since
// the file system ignores case.
Handle lock_run(const Site& site) {
  if (injected(Call::kLockRun)) return kInvalidHandle;
  std::string full = site.path;
  CharUpperBuffA(full.data(), static_cast<DWORD>(full.size()));
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const char c : full) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  char name[64];
  std::snprintf(name, sizeof name, "Local\\tarnwick-%016llx", static_cast<unsigned long long>(hash));
  const HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
  if (mutex == nullptr) return fail_with_system_error(kInvalidHandle);
  const DWORD waited = WaitForSingleObject(mutex, INFINITE);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    CloseHandle(mutex);
    return fail_with_system_error(kInvalidHandle);
  }
  return handle_of(mutex);
}

void unlock_run(const Site&, Handle lock) {
  ReleaseMutex(native(lock));
  CloseHandle(native(lock));
}

// ---- Interrupts -----------------------------------------------------------------------

void hold_interrupts() {}
void release_interrupts() {}
void remove_run_files() { discard_temporary(); }

// ---- Memory -------------------------------------------------------------------------

void* allocate(std::size_t size) {
  if (injected(Call::kAllocate)) return nullptr;
  return std::malloc(size);
}

void release(void* block) { std::free(block); }

// ---- Mapped files -------------------------------------------------------------------

// The file is read instead: reading keeps the share modes exactly as they are.
char* map_file(Handle, std::size_t) { return fail_with(kErrorNotEnoughMemory, nullptr); }
void unmap_file(char*, std::size_t) {}
bool detach_mapping(char*, std::size_t) { return true; }

// ---- Console and process ---------------------------------------------------------

Handle standard_output() {
  if (injected(Call::kStandardOutput)) return kInvalidHandle;
#ifdef TARNWICK_TEST_SEAM
  if (g_seam != nullptr && g_seam->fakes_standard_output()) return kFakeStandardOutput;
#endif
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == INVALID_HANDLE_VALUE) return fail_with_system_error(kInvalidHandle);
  return handle_of(output);
}

FileType file_type(Handle handle) {
  if (injected(Call::kFileType)) return FileType::kUnknown;
#ifdef TARNWICK_TEST_SEAM
  if (handle == kFakeStandardOutput) return g_seam->standard_output_type();
#endif
  switch (GetFileType(native(handle))) {
    case FILE_TYPE_CHAR: return FileType::kCharacter;
    case FILE_TYPE_DISK: return FileType::kDisk;
    case FILE_TYPE_PIPE: return FileType::kPipe;
    default: return FileType::kUnknown;
  }
}

void initialize_process() {
  char path[MAX_PATH + 1];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length > 0 && length < sizeof path) copy_name(g_program_name, sizeof g_program_name, file_name_part(path));
}

std::string command_line() { return GetCommandLineA(); }

std::string_view program_name() { return g_program_name; }

void exit_process(int status) { ExitProcess(static_cast<UINT>(status)); }

bool find_module(const void* address, char* name, std::size_t capacity, std::uintptr_t* base) {
  MEMORY_BASIC_INFORMATION region;
  if (capacity == 0 || VirtualQuery(address, &region, sizeof region) == 0 || region.State != MEM_COMMIT) {
    return false;
  }
  char path[MAX_PATH + 1];
  const DWORD length = GetModuleFileNameA(static_cast<HMODULE>(region.AllocationBase), path, sizeof path);
  if (length == 0 || length >= sizeof path) return false;
  copy_name(name, capacity, file_name_part(path));
  *base = reinterpret_cast<std::uintptr_t>(region.AllocationBase);
  return true;
}

// ---- Processor faults ----------------------------------------------------------------

namespace {

void (*g_fault_handler)(const FaultRecord&) = nullptr;

LONG WINAPI on_fault(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  FaultRecord fault;
  fault.code = record.ExceptionCode;
  fault.fault_address = record.ExceptionAddress;
  if (record.NumberParameters >= 2) {
    fault.write_access = record.ExceptionInformation[0] != 0;
    fault.accessed_address = reinterpret_cast<const void*>(record.ExceptionInformation[1]);
  }
  if (g_fault_handler != nullptr) g_fault_handler(fault);
  return EXCEPTION_CONTINUE_SEARCH;  // declined: the system's default handling
}

}  // namespace

void install_fault_handler(void (*handler)(const FaultRecord& fault)) {
  g_fault_handler = handler;
  // Room on the stack for the report after a stack overflow.
  ULONG guarantee = 64 * 1024;
  SetThreadStackGuarantee(&guarantee);
  SetUnhandledExceptionFilter(&on_fault);
}

bool debugger_attached() { return IsDebuggerPresent() != 0; }

bool install_seam([[maybe_unused]] Seam* seam) {
#ifdef TARNWICK_TEST_SEAM
  g_seam = seam;
  return true;
#else
  return false;
#endif
}

}  // namespace tarnwick::platform
