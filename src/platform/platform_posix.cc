// POSIX backend of the platform layer (Linux).
#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace tarnwick::platform {
namespace {

thread_local ErrorCode t_last_error = 0;

ErrorCode map_errno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
      return kErrorAccessDenied;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return kErrorPathNotFound;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return kErrorDiskFull;
    case EPIPE:
      return kErrorNoData;
    case EIO:
      return kErrorIoDevice;
    default:
      return kErrorGenFailure;
  }
}

// Records errno as the last error; returns `result` for convenience.
template <typename T>
T fail_with_errno(T result) {
  t_last_error = map_errno(errno);
  return result;
}

template <typename T>
T fail_with(ErrorCode code, T result) {
  t_last_error = code;
  return result;
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

// ---- Saved process facts -----------------------------------------------------

int g_argc = 0;
char** g_argv = nullptr;

char g_program_name[NAME_MAX + 1] = "tarnwick";

// Copies a NUL-terminated name, cut to fit `capacity` with its NUL.
void copy_name(char* out, std::size_t capacity, const char* name) {
  const std::size_t length = std::min(std::strlen(name), capacity - 1);
  std::memcpy(out, name, length);
  out[length] = '\0';
}

// The loaded modules, noted at start-up so that fault handlers can look them up.
struct Module {
  std::uintptr_t start;  // the load base: where its first segment begins
  std::uintptr_t end;
  char name[261];
};
Module g_modules[32];
int g_module_count = 0;

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

// glibc hands the arguments to initialisers in .init_array as well as to main.
// The process facts that fault handlers need are noted here too, before main.
void capture_process(int argc, char** argv, char**) {
  g_argc = argc;
  g_argv = argv;
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n > 0) {
    path[n] = '\0';
    const char* slash = std::strrchr(path, '/');
    copy_name(g_program_name, sizeof g_program_name, slash == nullptr ? path : slash + 1);
  }
  dl_iterate_phdr(&note_module, nullptr);
}
__attribute__((section(".init_array"), used)) void (*g_capture_process)(int, char**, char**) =
    &capture_process;

// The one temporary file of a save in progress; empty when there is none.
char g_temporary_path[PATH_MAX + 32] = "";

// ---- Helpers -------------------------------------------------------------------

bool wildcard_match(const char* pattern, const char* name) {
  // Iterative matcher with one back-tracking point: '*' is any run, '?' one byte.
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern == '?' || *pattern == *name) {
      ++pattern;
      ++name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

// The first directory entry (in byte order, "." and ".." included) matching the
// last component of `path`; empty when none does or the directory is unreadable.
std::string first_wildcard_match(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string directory =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string pattern = slash == std::string::npos ? path : path.substr(slash + 1);
  struct CloseDir {
    void operator()(DIR* dir) const { closedir(dir); }
  };
  const std::unique_ptr<DIR, CloseDir> dir(opendir(directory.c_str()));
  if (dir == nullptr) return {};
  std::vector<std::string> names;
  while (const dirent* entry = readdir(dir.get())) {
    if (wildcard_match(pattern.c_str(), entry->d_name)) names.emplace_back(entry->d_name);
  }
  if (names.empty()) return {};
  const std::string first = *std::min_element(names.begin(), names.end());
  return slash == std::string::npos ? first : path.substr(0, slash + 1) + first;
}

bool fits_dos_date(time_t when) {
  tm local{};
  if (localtime_r(&when, &local) == nullptr) return false;
  const int year = local.tm_year + 1900;
  return year >= 1980 && year <= 2107;
}

bool write_fully(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_with_errno(false);
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

int fd_of(Handle handle) { return static_cast<int>(handle); }

}  // namespace

ErrorCode last_error() { return t_last_error; }

// ---- Files ---------------------------------------------------------------------

bool is_existing_file(const char* path) {
  if (injected(Call::kIsExistingFile)) return false;
  std::string found = path;
  if (found.find_first_of("*?", found.rfind('/') + 1) != std::string::npos) {
    found = first_wildcard_match(found);
    if (found.empty()) return false;
  }
  struct stat info {};
  if (stat(found.c_str(), &info) != 0) return false;
  if (S_ISDIR(info.st_mode)) return false;
  return fits_dos_date(info.st_mtime);
}

Handle open_for_reading(const char* path) {
  if (injected(Call::kOpenForReading)) return kInvalidHandle;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return fail_with_errno(kInvalidHandle);
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return fail_with(kErrorAccessDenied, kInvalidHandle);
  }
  return fd;
}

std::int64_t seek(Handle handle, std::int64_t distance, SeekFrom from) {
  if (injected(Call::kSeek)) return -1;
  const int whence = from == SeekFrom::kBegin ? SEEK_SET : from == SeekFrom::kEnd ? SEEK_END : SEEK_CUR;
  const off_t position = lseek(fd_of(handle), distance, whence);
  return position < 0 ? fail_with_errno(std::int64_t{-1}) : position;
}

std::int64_t read(Handle handle, char* buffer, std::size_t size) {
  if (injected(Call::kRead)) return -1;
  std::size_t total = 0;
  while (total < size) {
    const ssize_t n = ::read(fd_of(handle), buffer + total, size - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_with_errno(std::int64_t{-1});
    }
    if (n == 0) break;
    total += static_cast<std::size_t>(n);
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
  return write_fully(fd_of(handle), bytes.data(), bytes.size());
}

void close(Handle handle) {
  if (injected(Call::kClose)) return;
#ifdef TARNWICK_TEST_SEAM
  if (handle == kFakeStandardOutput) return;
#endif
  ::close(fd_of(handle));
}

// ---- Replacing a file's content ------------------------------------------------

std::string resolve_target(const char* path) {
  if (injected(Call::kResolveTarget)) return path;
  // Freed on every way out, also when copying it runs out of memory.
  const std::unique_ptr<char, decltype(&free)> resolved(realpath(path, nullptr), &free);
  return resolved == nullptr ? std::string(path) : std::string(resolved.get());
}

Handle open_for_update(const char* path) {
  if (injected(Call::kOpenForUpdate)) return kInvalidHandle;
  const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return fail_with_errno(kInvalidHandle);
  struct stat info {};
  // A file that grants writing to nobody is read-only, whoever asks.
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || (info.st_mode & 0222) == 0) {
    ::close(fd);
    return fail_with(kErrorAccessDenied, kInvalidHandle);
  }
  return fd;
}

Handle create_temporary_beside(const char* target) {
  if (injected(Call::kCreateTemporary)) return kInvalidHandle;
  const std::size_t length = std::strlen(target);
  if (length + 24 > sizeof g_temporary_path) return fail_with(kErrorPathNotFound, kInvalidHandle);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::memcpy(g_temporary_path, target, length);
    snprintf(g_temporary_path + length, sizeof g_temporary_path - length, ".tw%d-%d",
             static_cast<int>(getpid()), attempt);
    const int fd = ::open(g_temporary_path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  const int error = errno;
  g_temporary_path[0] = '\0';
  errno = error;
  return fail_with_errno(kInvalidHandle);
}

bool adopt_identity(Handle temporary, Handle target) {
  if (injected(Call::kAdoptIdentity)) return false;
  struct stat wanted {};
  struct stat have {};
  if (fstat(fd_of(target), &wanted) != 0 || fstat(fd_of(temporary), &have) != 0) {
    return fail_with_errno(false);
  }
  if (wanted.st_nlink > 1) return fail_with(kErrorAccessDenied, false);
  if ((wanted.st_uid != have.st_uid || wanted.st_gid != have.st_gid) &&
      fchown(fd_of(temporary), wanted.st_uid, wanted.st_gid) != 0) {
    return fail_with_errno(false);
  }
  if (fchmod(fd_of(temporary), wanted.st_mode & 07777) != 0) return fail_with_errno(false);
  return true;
}

bool sync(Handle handle) {
  if (injected(Call::kSync)) return false;
  return fsync(fd_of(handle)) == 0 || fail_with_errno(false);
}

bool replace_with_temporary(const char* target) {
  if (injected(Call::kReplace)) return false;
  // The directory's name is had before the rename: nothing after it may fail
  // for want of memory, since the new text is then in place.
  char directory[PATH_MAX] = ".";
  if (const char* slash = std::strrchr(target, '/')) {
    const auto length = std::max<std::size_t>(static_cast<std::size_t>(slash - target), 1);
    if (length >= sizeof directory) return fail_with(kErrorPathNotFound, false);
    std::memcpy(directory, target, length);
    directory[length] = '\0';
  }
  if (rename(g_temporary_path, target) != 0) return fail_with_errno(false);
  g_temporary_path[0] = '\0';
  // Make the new directory entry durable as well.
  const int fd = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    ::close(fd);
  }
  return true;
}

void discard_temporary() {
  if (g_temporary_path[0] != '\0') {
    unlink(g_temporary_path);
    g_temporary_path[0] = '\0';
  }
}

bool write_at(Handle handle, std::int64_t offset, std::string_view bytes) {
  if (injected(Call::kWriteAt)) return false;
  const char* data = bytes.data();
  std::size_t size = bytes.size();
  while (size > 0) {
    const ssize_t n = pwrite(fd_of(handle), data, size, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_with_errno(false);
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

bool truncate(Handle handle, std::int64_t size) {
  if (injected(Call::kTruncate)) return false;
  return ftruncate(fd_of(handle), size) == 0 || fail_with_errno(false);
}

// ---- Serialising runs ------------------------------------------------------------------

Handle lock_file(const char* path) {
  if (injected(Call::kLockFile)) return kInvalidHandle;
  // A save by rename puts a new file in the old one's place: a lock won on the
  // old file no longer guards the path, so lock whatever the path names now.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail_with_errno(kInvalidHandle);
    int locked;
    while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    struct stat held {};
    struct stat named {};
    if (locked == 0 && fstat(fd, &held) == 0 && stat(path, &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      return fd;
    }
    const int error = errno;
    ::close(fd);
    if (locked != 0) {
      errno = error;
      return fail_with_errno(kInvalidHandle);
    }
  }
  return fail_with(kErrorSharingViolation, kInvalidHandle);
}

void unlock_file(Handle lock) { ::close(fd_of(lock)); }

// ---- Memory -------------------------------------------------------------------------

void* allocate(std::size_t size) {
  if (injected(Call::kAllocate)) return nullptr;
  return malloc(size);
}

void release(void* block) { free(block); }

// ---- Mapped files -------------------------------------------------------------------

char* map_file(Handle handle, std::size_t size) {
  if (injected(Call::kMapFile)) return nullptr;
  void* block = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd_of(handle), 0);
  return block == MAP_FAILED ? fail_with_errno(nullptr) : static_cast<char*>(block);
}

void unmap_file(char* block, std::size_t size) { munmap(block, size); }

bool detach_mapping(char* block, std::size_t size) {
  if (injected(Call::kDetachMapping)) return false;
  // Writing to a private mapping copies the page; touch one byte of each.
  if (mprotect(block, size, PROT_READ | PROT_WRITE) != 0) return fail_with_errno(false);
  const long page = sysconf(_SC_PAGESIZE);
  for (std::size_t offset = 0; offset < size; offset += static_cast<std::size_t>(page)) {
    volatile char* byte = block + offset;
    *byte = *byte;
  }
  return true;
}

// ---- Console and process ---------------------------------------------------------

Handle standard_output() {
  if (injected(Call::kStandardOutput)) return kInvalidHandle;
#ifdef TARNWICK_TEST_SEAM
  if (g_seam != nullptr && g_seam->fakes_standard_output()) return kFakeStandardOutput;
#endif
  if (fcntl(STDOUT_FILENO, F_GETFD) == -1) return fail_with_errno(kInvalidHandle);
  return STDOUT_FILENO;
}

FileType file_type(Handle handle) {
  if (injected(Call::kFileType)) return FileType::kUnknown;
#ifdef TARNWICK_TEST_SEAM
  if (handle == kFakeStandardOutput) return g_seam->standard_output_type();
#endif
  struct stat info {};
  if (fstat(fd_of(handle), &info) != 0) return fail_with_errno(FileType::kUnknown);
  if (S_ISCHR(info.st_mode)) return FileType::kCharacter;
  if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) return FileType::kPipe;
  return FileType::kDisk;
}

void initialize_process() { signal(SIGPIPE, SIG_IGN); }

std::string command_line() { return join_arguments(g_argc, g_argv); }

std::string join_arguments(int count, const char* const* arguments) {
  std::string line;
  for (int i = 0; i < count; ++i) {
    const std::string_view argument = arguments[i];
    if (i > 0) line += ' ';
    const bool has_blank = std::any_of(argument.begin(), argument.end(), [](char c) {
      return c >= 1 && static_cast<unsigned char>(c) <= 32;
    });
    const bool has_quote = argument.find('"') != std::string_view::npos;
    if (argument.empty() || (has_blank && !has_quote)) {
      line += '"';
      line += argument;
      line += '"';
    } else {
      line += argument;
    }
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
    const std::size_t length = std::min(std::strlen(module.name), capacity - 1);
    std::memcpy(name, module.name, length);
    name[length] = '\0';
    *base = module.start;
    return true;
  }
  return false;
}

// ---- Processor faults ----------------------------------------------------------------

namespace {

void (*g_fault_handler)(const FaultRecord&) = nullptr;
alignas(16) char g_fault_stack[64 * 1024];
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

std::uint32_t fault_code(int signal, const siginfo_t& info, std::uintptr_t stack_pointer) {
  switch (signal) {
    case SIGSEGV: {
      // A fault just below the stack pointer is the stack running into its guard.
      const auto accessed = reinterpret_cast<std::uintptr_t>(info.si_addr);
      if (accessed <= stack_pointer + 4096 && accessed + (1u << 20) >= stack_pointer) {
        return kStatusStackOverflow;
      }
      return kStatusAccessViolation;
    }
    case SIGBUS:
      return kStatusAccessViolation;
    case SIGFPE:
      switch (info.si_code) {
        case FPE_INTDIV: return kStatusIntegerDivideByZero;
        case FPE_INTOVF: return kStatusIntegerOverflow;
        case FPE_FLTDIV: return kStatusFloatDivideByZero;
        case FPE_FLTOVF: return kStatusFloatOverflow;
        case FPE_FLTUND: return kStatusFloatUnderflow;
        case FPE_FLTRES: return kStatusFloatInexactResult;
        case FPE_FLTINV: return kStatusFloatInvalidOperation;
        case FPE_FLTSUB: return kStatusArrayBoundsExceeded;
        default: return kStatusFloatInvalidOperation;
      }
    default:  // SIGILL
      return info.si_code == ILL_PRVOPC || info.si_code == ILL_PRVREG ? kStatusPrivilegedInstruction
                                                                      : kStatusIllegalInstruction;
  }
}

void on_fault(int signal, siginfo_t* info, void* context) {
  const auto* uc = static_cast<const ucontext_t*>(context);
  FaultRecord fault;
  std::uintptr_t stack_pointer = 0;
#if defined(__x86_64__)
  fault.fault_address = reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_RIP]);
  stack_pointer = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
  fault.write_access = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;  // page-fault error code
#elif defined(__i386__)
  fault.fault_address = reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_EIP]);
  stack_pointer = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_ESP]);
  fault.write_access = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;
#else
  (void)uc;
  fault.fault_address = info->si_addr;
#endif
  fault.code = fault_code(signal, *info, stack_pointer);
  fault.accessed_address = info->si_addr;
  if (g_fault_handler != nullptr) g_fault_handler(fault);
  // Declined: let the fault happen again with the default action.
  ::signal(signal, SIG_DFL);
}

}  // namespace

void install_fault_handler(void (*handler)(const FaultRecord& fault)) {
  g_fault_handler = handler;
  stack_t stack{};
  stack.ss_sp = g_fault_stack;
  stack.ss_size = sizeof g_fault_stack;
  sigaltstack(&stack, nullptr);
  struct sigaction action {};
  action.sa_sigaction = &on_fault;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int signal : kFaultSignals) sigaction(signal, &action, nullptr);
}

bool debugger_attached() {
  // Read with plain system calls: this runs inside fault handlers.
  const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[4096];
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  const char* field = std::strstr(text, "TracerPid:");
  if (field == nullptr) return false;
  field += 10;
  while (*field == ' ' || *field == '\t') ++field;
  return *field != '0';
}

bool install_seam([[maybe_unused]] Seam* seam) {
#ifdef TARNWICK_TEST_SEAM
  g_seam = seam;
  return true;
#else
  return false;
#endif
}

}  // namespace tarnwick::platform
