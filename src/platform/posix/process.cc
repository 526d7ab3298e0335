// POSIX backend: the process, its interrupts, its command line and its output.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#if __has_include(<link.h>)
#include <link.h>
#define TARNWICK_HAS_PROGRAM_HEADERS 1
#endif

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/posix/system.h"

namespace tarnwick::platform {
namespace {

char g_program_name[NAME_MAX + 1] = "tarnwick";

// The loaded modules, noted at start-up so that fault handlers can look them up.
struct Module {
  std::uintptr_t start;  // the load base: where its first segment begins
  std::uintptr_t end;
  char name[261];
};
Module g_modules[32];
int g_module_count = 0;

#ifdef TARNWICK_HAS_PROGRAM_HEADERS
int note_module(dl_phdr_info* info, std::size_t, void*) {
  if (g_module_count == static_cast<int>(sizeof g_modules / sizeof g_modules[0])) return 1;
  Module& module = g_modules[g_module_count];
  module.start = UINTPTR_MAX;
  module.end = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    module.start = std::min<std::uintptr_t>(module.start, info->dlpi_addr + segment.p_vaddr);
    module.end = std::max<std::uintptr_t>(module.end, info->dlpi_addr + segment.p_vaddr + segment.p_memsz);
  }
  if (module.start >= module.end) return 0;
  // The program itself comes first, without a name: it is named as its file is.
  const char* path = g_module_count == 0 ? g_program_name : info->dlpi_name;
  const char* slash = std::strrchr(path, '/');
  copy_name(module.name, sizeof module.name, slash == nullptr ? path : slash + 1);
  ++g_module_count;
  return 0;
}
#endif

// The program's own file name, where the system tells it (the link it was
// started through does not count); elsewhere it stays "tarnwick".
void note_program_name() {
#if defined(__linux__)
  char own[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", own, sizeof own - 1);
  if (n <= 0) return;
  own[n] = '\0';
  const char* slash = std::strrchr(own, '/');
  copy_name(g_program_name, sizeof g_program_name, slash == nullptr ? own : slash + 1);
#endif
}

// The interrupts that remove the run's files before they take their course.
constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
int g_interrupts_held = 0;

sigset_t interrupt_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kInterrupts) sigaddset(&set, signal);
  return set;
}

// Removes the run's files, then lets the interrupt take its usual course.
void on_interrupt(int signal) {
  remove_run_files();
  ::signal(signal, SIG_DFL);
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, signal);
  sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
  raise(signal);
}

}  // namespace

// ---- Interrupts -----------------------------------------------------------------------

void hold_interrupts() {
  if (g_interrupts_held++ > 0) return;
  const sigset_t set = interrupt_set();
  sigprocmask(SIG_BLOCK, &set, nullptr);
}

void release_interrupts() {
  if (--g_interrupts_held > 0) return;
  const sigset_t set = interrupt_set();
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// ---- Console and process ---------------------------------------------------------

Handle standard_output() {
  if (fcntl(STDOUT_FILENO, F_GETFD) == -1) return fail_with_errno(kInvalidHandle);
  return STDOUT_FILENO;
}

FileType file_type(Handle handle) {
  struct stat info {};
  if (fstat(fd_of(handle), &info) != 0) return fail_with_errno(FileType::kUnknown);
  if (S_ISCHR(info.st_mode)) return FileType::kCharacter;
  if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) return FileType::kPipe;
  return FileType::kDisk;
}

void initialize_process() {
  note_program_name();
#ifdef TARNWICK_HAS_PROGRAM_HEADERS
  dl_iterate_phdr(&note_module, nullptr);
#endif
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = &on_interrupt;
  action.sa_mask = interrupt_set();
  for (int signal : kInterrupts) {
    // An interrupt the process was started to ignore (nohup) stays ignored.
    struct sigaction before {};
    if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
      sigaction(signal, &action, nullptr);
    }
  }
}

std::string command_line(int count, const char* const* arguments) {
  std::string line;
  // The program's name is skipped by whoever reads the line, so it need only be
  // one token: no quote or blank that would end it early or join it to the next.
  if (count > 0) {
    for (const char* p = arguments[0]; *p != '\0' && line.size() < 4096; ++p) {
      if (static_cast<unsigned char>(*p) > 32 && *p != '"') line += *p;
    }
  }
  if (line.empty()) line = "tarnwick";
  for (int i = 1; i < count; ++i) {
    const std::string_view argument = arguments[i];
    line += ' ';
    const bool has_blank = std::any_of(argument.begin(), argument.end(), [](char c) {
      return c >= 1 && static_cast<unsigned char>(c) <= 32;
    });
    const bool has_quote = argument.find('"') != std::string_view::npos;
    const bool quoted = argument.empty() || (has_blank && !has_quote);
    if (quoted) line += '"';
    line += argument;
    if (quoted) line += '"';
  }
  return line;
}

std::string_view program_name() { return g_program_name; }

void exit_process(int status) { _exit(status); }

bool find_module(const void* address, char* name, std::size_t capacity, std::uintptr_t* base) {
  const auto where = reinterpret_cast<std::uintptr_t>(address);
  for (int i = 0; i < g_module_count; ++i) {
    const Module& module = g_modules[i];
    if (where < module.start || where >= module.end || capacity == 0) continue;
    copy_name(name, capacity, module.name);
    *base = module.start;
    return true;
  }
  return false;
}

}  // namespace tarnwick::platform
