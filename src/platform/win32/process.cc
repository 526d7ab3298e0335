// Win32 backend: the process, its interrupts, its command line and its output.
#include <string>

#include "platform/win32/system.h"

namespace tarnwick::platform {
namespace {

char g_program_name[MAX_PATH + 1] = "tarnwick.exe";

// Signalled while no save holds interrupts back.
HANDLE g_interrupts_free = nullptr;
// Whether a save holds them, and whether the process is ending, are decided
// under this lock: an event's handler that finds no save in progress ends
// the process, and no save begins after it.
SRWLOCK g_interrupts_lock = SRWLOCK_INIT;
LONG g_interrupts_held = 0;
bool g_ending = false;

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

}  // namespace

// Runs on a thread of its own when Ctrl-C or Ctrl-Break is pressed, the
// console window is closed, or the user logs off or the system shuts down:
// it waits for a save in progress, removes the run's files, and leaves the
// event to the system's usual handling, which ends the process.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT && event != CTRL_LOGOFF_EVENT &&
      event != CTRL_SHUTDOWN_EVENT) {
    return FALSE;
  }
  for (bool ending = false; !ending;) {
    WaitForSingleObject(g_interrupts_free, INFINITE);
    AcquireSRWLockExclusive(&g_interrupts_lock);
    ending = g_ending = g_ending || g_interrupts_held == 0;  // else a save began meanwhile
    ReleaseSRWLockExclusive(&g_interrupts_lock);
  }
  remove_run_files();
  return FALSE;
}

void hold_interrupts() {
  AcquireSRWLockExclusive(&g_interrupts_lock);
  const bool ending = g_ending;
  if (++g_interrupts_held == 1 && !ending && g_interrupts_free != nullptr) ResetEvent(g_interrupts_free);
  ReleaseSRWLockExclusive(&g_interrupts_lock);
  if (ending) Sleep(INFINITE);  // the process ends before any save begins
}

void release_interrupts() {
  AcquireSRWLockExclusive(&g_interrupts_lock);
  if (--g_interrupts_held == 0 && g_interrupts_free != nullptr) SetEvent(g_interrupts_free);
  ReleaseSRWLockExclusive(&g_interrupts_lock);
}

// ---- Console and process ---------------------------------------------------------

Handle standard_output() {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == INVALID_HANDLE_VALUE) return fail_with_system_error(kInvalidHandle);
  return handle_of(output);
}

FileType file_type(Handle handle) {
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

// The line as it was typed: the arguments main() got have lost its quotes.
std::string command_line(int, const char* const*) { return GetCommandLineA(); }

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
}  // namespace tarnwick::platform
