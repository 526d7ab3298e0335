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

// Writes all of the bytes. A write the system takes without a byte ends it:
// a failure, or with `quietly` a success that drops the rest.
bool write_fully(HANDLE handle, const char* data, std::size_t size, bool quietly = false) {
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
#ifdef TARNWICK_TEST_SEAM
  if (handle == kFakeStandardOutput) {
    if (ErrorCode code = g_seam->write_standard_output(bytes)) return fail_with(code, false);
    return true;
  }
#endif
  return write_fully(native(handle), bytes.data(), bytes.size(), quietly);
}

}  // namespace

bool write(Handle handle, std::string_view bytes) { return write_all(handle, bytes, false); }

bool write_output(Handle handle, std::string_view bytes) { return write_all(handle, bytes, true); }

void close(Handle handle) {
  if (injected(Call::kClose)) return;
#ifdef TARNWICK_TEST_SEAM
  if (handle == kFakeStandardOutput) return;
#endif
  CloseHandle(native(handle));
}

// ---- Where a file lives -----------------------------------------------------------

// The final file behind every link; where nothing is there this instant, the
// full path as named: a replace by another run leaves the name empty for a
// moment, and the run must still wait for its lock.
bool locate(const char* path, Site& site) {
  if (injected(Call::kLocate)) return false;
  char full[MAX_PATH * 2];
  DWORD length = 0;
  const HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    length = GetFinalPathNameByHandleA(file, full, sizeof full, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(file);
  }
  const char* start = full;
  if (length > 0 && length < sizeof full) {
    // "\\?\C:\..." is "C:\...", "\\?\UNC\server\..." is "\\server\...".
    if (std::strncmp(full, "\\\\?\\UNC\\", 8) == 0) {
      start = full + 6;
      full[6] = '\\';
    } else if (std::strncmp(full, "\\\\?\\", 4) == 0) {
      start = full + 4;
    }
  } else {
    length = GetFullPathNameA(path, sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full) return fail_with_system_error(false);
  }
  site.path = start;
  const char* base = site.path.c_str();
  site.name_at = static_cast<std::size_t>(file_name_part(base) - base);
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
  static constexpr const char* kSuffixes[] = {".tarnwick-lock", ".tarnwick-journal", ".tarnwick-new",
                                              ".tarnwick-old"};
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
bool adopt_owner(Handle, Handle) { return !injected(Call::kAdoptOwner); }

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

namespace {

bool move_file(const char* from, const char* to) {
  if (injected(Call::kMoveFile)) return false;
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) || fail_with_system_error(false);
}

// The attributes a file keeps across a replace, whatever the system does.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

}  // namespace

bool replace_with_temporary(const Site& site, Handle& temporary) {
  // The system will not replace with a file that is still open.
  CloseHandle(native(temporary));
  temporary = kInvalidHandle;
  const char* target = site.path.c_str();
  char backup[MAX_PATH * 2 + 32];
  if (!companion_path(site, Companion::kBackup, backup)) return false;
  const DWORD attributes = GetFileAttributesA(target);
  DeleteFileA(backup);  // left by a run that died in the middle of a replace
  ErrorCode error = 0;
  if (injected(Call::kReplace)) {
    error = t_last_error;
  } else if (!ReplaceFileA(target, g_temporary_path, backup, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
    error = static_cast<ErrorCode>(GetLastError());
  }
  if (error != 0) {
    // Refused before the old file left its name: nothing has changed.
    if (GetFileAttributesA(target) != INVALID_FILE_ATTRIBUTES) return fail_with(error, false);
    // The old file has gone to the backup name: the new text takes the name,
    // or else the old text comes back to it.
    if (!move_file(g_temporary_path, target)) {
      move_file(backup, target);
      return fail_with(error, false);
    }
  }
  g_temporary_path[0] = '\0';
  DeleteFileA(backup);
  // Some systems let the replace drop hidden and system: they come back.
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    const DWORD kept = attributes & kKeptAttributes;
    SetFileAttributesA(target, kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL);
  }
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
// for other programs. The name comes from the final path, in upper case, since
// the file system ignores case. It lives in the Global namespace, shared by
// every session, where the process may create it there, and in its session's
// own otherwise. Anyone may hold a named mutex, so it is waited for 10
// seconds at most.
Handle lock_run(const Site& site) {
  if (injected(Call::kLockRun)) return kInvalidHandle;
  std::string full = site.path;
  CharUpperBuffA(full.data(), static_cast<DWORD>(full.size()));
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const char c : full) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  HANDLE mutex = nullptr;
  for (const char* space : {"Global", "Local"}) {
    char name[64];
    std::snprintf(name, sizeof name, "%s\\tarnwick-%016llx", space, static_cast<unsigned long long>(hash));
    mutex = CreateMutexA(nullptr, FALSE, name);
    if (mutex != nullptr) break;
  }
  if (mutex == nullptr) return fail_with_system_error(kInvalidHandle);
  const DWORD waited = WaitForSingleObject(mutex, 10000);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return handle_of(mutex);
  CloseHandle(mutex);
  return waited == WAIT_TIMEOUT ? fail_with(kErrorSharingViolation, kInvalidHandle)
                                : fail_with_system_error(kInvalidHandle);
}

void unlock_run(const Site&, Handle lock) {
  ReleaseMutex(native(lock));
  CloseHandle(native(lock));
}

// ---- Interrupts -----------------------------------------------------------------------

namespace {

// Signalled while no save holds interrupts back.
HANDLE g_interrupts_free = nullptr;
LONG g_interrupts_held = 0;

// Runs on a thread of its own when Ctrl-C or Ctrl-Break is pressed or the
// console window is closed: it waits for a save in progress, removes the
// run's files, and leaves the event to the system's usual handling.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  WaitForSingleObject(g_interrupts_free, INFINITE);
  remove_run_files();
  return FALSE;
}

}  // namespace

void hold_interrupts() {
  if (InterlockedIncrement(&g_interrupts_held) == 1 && g_interrupts_free != nullptr) ResetEvent(g_interrupts_free);
}

void release_interrupts() {
  if (InterlockedDecrement(&g_interrupts_held) == 0 && g_interrupts_free != nullptr) SetEvent(g_interrupts_free);
}

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
    case FILE_TYPE_UNKNOWN: return FileType::kUnknown;
    case FILE_TYPE_CHAR: return FileType::kCharacter;
    case FILE_TYPE_PIPE: return FileType::kPipe;
    default: return FileType::kDisk;  // a disk file, or a type newer than these (remote)
  }
}

void initialize_process() {
  g_interrupts_free = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  SetConsoleCtrlHandler(&on_console_event, TRUE);
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
