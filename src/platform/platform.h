// The tool's only door to the operating system.
//
// Every call the tool makes to the system goes through the functions below. One
// implementation file per system sits beside this header; nothing else in the
// tree includes system headers. The types here are plain integers and byte
// strings so that the header reads the same on every system.
//
// Error codes are Windows system error codes everywhere: the console messages and
// the failure reports print them, so the POSIX backend maps errno onto them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick::platform {

using ErrorCode = std::uint32_t;

inline constexpr ErrorCode kErrorFileNotFound = 2;
inline constexpr ErrorCode kErrorPathNotFound = 3;
inline constexpr ErrorCode kErrorTooManyOpenFiles = 4;
inline constexpr ErrorCode kErrorAccessDenied = 5;
inline constexpr ErrorCode kErrorInvalidHandle = 6;
inline constexpr ErrorCode kErrorNotEnoughMemory = 8;
inline constexpr ErrorCode kErrorSharingViolation = 32;
inline constexpr ErrorCode kErrorDiskFull = 112;
inline constexpr ErrorCode kErrorNoData = 232;  // the reader of a pipe has gone
inline constexpr ErrorCode kErrorIoDevice = 1117;
// Any system error without a closer Windows equivalent.
inline constexpr ErrorCode kErrorGenFailure = 31;

// An open file or device. Negative values are never valid handles.
using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// The error code of the last platform call that failed on this thread.
ErrorCode last_error();

// ---- Files -----------------------------------------------------------------

// True when `path` names an existing file that is not a directory and whose
// local last-write time fits a DOS date (1980-01-01 to 2107-12-31). Wildcards
// in the last path component are expanded and only the first match is judged.
bool is_existing_file(const char* path);

// Opens an existing file for reading; others may read it meanwhile, not write.
Handle open_for_reading(const char* path);

enum class SeekFrom { kBegin, kCurrent, kEnd };
// Moves the file position; gives the new position, or -1 on failure.
std::int64_t seek(Handle handle, std::int64_t distance, SeekFrom from);

// Reads up to `size` bytes, continuing after short reads until `size` bytes
// have arrived or the file ends. Gives the count read, or -1 on failure.
std::int64_t read(Handle handle, char* buffer, std::size_t size);

// Writes all of `bytes`, continuing after short and interrupted writes.
bool write(Handle handle, std::string_view bytes);

void close(Handle handle);

// ---- Replacing a file's content -----------------------------------------------
//
// A save goes through these calls: the target is checked by opening it for
// writing without emptying it, the new text goes to a temporary file beside it,
// and the temporary file takes the target's place in one step. Where that cannot
// keep the target's identity the text is written over the target in place.

// The file a save must replace: `path` with symbolic links resolved, or `path`
// itself when it does not exist yet.
std::string resolve_target(const char* path);

// Opens `path` for reading and writing without emptying it, creating it when it
// is missing. A file that nobody may write (read-only) is refused, also for an
// administrator.
Handle open_for_update(const char* path);

// Creates a new, empty temporary file in the directory of `target`. Only one
// exists at a time; it is remembered so that a crash can still remove it.
Handle create_temporary_beside(const char* target);

// Gives the temporary file the target's permissions and owner. False when the
// replacement would not be the same file to its users (the target has other
// hard links, or its owner cannot be kept).
bool adopt_identity(Handle temporary, Handle target);

// Makes the file's bytes durable.
bool sync(Handle handle);

// Moves the temporary file over `target` in one step and makes that durable.
// False when the system refuses (for example a target that is a mount point);
// the temporary file then still exists.
bool replace_with_temporary(const char* target);

// Removes the temporary file, if one exists. Safe to call from a fault handler.
void discard_temporary();

// Writes `bytes` at `offset`, continuing after short writes.
bool write_at(Handle handle, std::int64_t offset, std::string_view bytes);

bool truncate(Handle handle, std::int64_t size);

// ---- Serialising runs -------------------------------------------------------------

// Takes the exclusive advisory lock that runs of the tool on the same file
// share, waiting while another run holds it. Gives a handle that holds the
// lock until unlock_file, or kInvalidHandle when the file cannot be locked.
// Other programs are not kept out: the lock binds only those who ask for it.
Handle lock_file(const char* path);
void unlock_file(Handle lock);

// ---- Memory ---------------------------------------------------------------------

// A block from the system's heap, or nullptr when there is none to be had.
void* allocate(std::size_t size);
void release(void* block);

// ---- Mapped files ---------------------------------------------------------------

// Maps the first `size` bytes of an open file for reading, all pages at once.
// Gives nullptr when the system cannot map the file; reading it is then the way.
char* map_file(Handle handle, std::size_t size);
void unmap_file(char* block, std::size_t size);
// Gives the process its own, writable copy of every page of a mapped block, so
// that later changes to the file no longer show in it.
bool detach_mapping(char* block, std::size_t size);

// ---- Console and process -------------------------------------------------------

// The standard-output handle, or kInvalidHandle.
Handle standard_output();

enum class FileType { kUnknown = 0, kDisk = 1, kCharacter = 2, kPipe = 3 };
FileType file_type(Handle handle);

// Prepares the process: broken pipes become write errors instead of ending it,
// and the loaded modules are noted so that fault handlers can name them.
void initialize_process();

// The process command line as one byte string: the program's name, then its
// arguments.
std::string command_line();

// Where the system hands over separate arguments (POSIX), the command line is
// rebuilt from them: each argument after one space, wrapped in double quotes
// when it is empty or holds a control byte or space and no double quote.
std::string join_arguments(int count, const char* const* arguments);

// The file name of the running program, without its directory.
std::string_view program_name();

[[noreturn]] void exit_process(int status);

// ---- Code locations ---------------------------------------------------------------

// The loaded module that holds `address`: its file name (without directory,
// cut to fit `capacity` with a terminating NUL) and its load base. Gives false
// when the address lies in no loaded module. Safe to call from a fault handler.
bool find_module(const void* address, char* name, std::size_t capacity, std::uintptr_t* base);

// ---- Processor faults --------------------------------------------------------------

// Windows exception codes, which the failure report's table is keyed by.
inline constexpr std::uint32_t kStatusAccessViolation = 0xC0000005;
inline constexpr std::uint32_t kStatusIllegalInstruction = 0xC000001D;
inline constexpr std::uint32_t kStatusArrayBoundsExceeded = 0xC000008C;
inline constexpr std::uint32_t kStatusFloatDenormalOperand = 0xC000008D;
inline constexpr std::uint32_t kStatusFloatDivideByZero = 0xC000008E;
inline constexpr std::uint32_t kStatusFloatInexactResult = 0xC000008F;
inline constexpr std::uint32_t kStatusFloatInvalidOperation = 0xC0000090;
inline constexpr std::uint32_t kStatusFloatOverflow = 0xC0000091;
inline constexpr std::uint32_t kStatusFloatStackCheck = 0xC0000092;
inline constexpr std::uint32_t kStatusFloatUnderflow = 0xC0000093;
inline constexpr std::uint32_t kStatusIntegerDivideByZero = 0xC0000094;
inline constexpr std::uint32_t kStatusIntegerOverflow = 0xC0000095;
inline constexpr std::uint32_t kStatusPrivilegedInstruction = 0xC0000096;
inline constexpr std::uint32_t kStatusStackOverflow = 0xC00000FD;
inline constexpr std::uint32_t kStatusControlCExit = 0xC000013A;

// A processor fault as the system describes it.
struct FaultRecord {
  std::uint32_t code = 0;
  const void* fault_address = nullptr;  // the faulting instruction
  bool write_access = false;            // for access violations
  const void* accessed_address = nullptr;
};

// Runs `handler` on a stack of its own when the processor faults. The handler
// must only use async-signal-safe means. If it returns, the fault takes the
// system's default course (a debugger or a core dump gets it).
void install_fault_handler(void (*handler)(const FaultRecord& fault));

// True when a debugger is attached to the process: faults are then left to it.
bool debugger_attached();

// ---- Test seam ---------------------------------------------------------------
//
// In test builds every call above first asks the installed seam whether it should
// fail, and standard output can be replaced by a fake. Release builds compile the
// questions away.

enum class Call {
  kIsExistingFile,
  kOpenForReading,
  kSeek,
  kRead,
  kWrite,
  kClose,
  kResolveTarget,
  kOpenForUpdate,
  kCreateTemporary,
  kAdoptIdentity,
  kSync,
  kReplace,
  kWriteAt,
  kTruncate,
  kMapFile,
  kDetachMapping,
  kLockFile,
  kAllocate,
  kStandardOutput,
  kFileType,
};

class Seam {
 public:
  virtual ~Seam() = default;
  // A non-zero code makes `call` fail with that code before it reaches the system.
  virtual ErrorCode fail(Call) { return 0; }
  // True to replace standard output by `write_standard_output`.
  virtual bool fakes_standard_output() { return false; }
  virtual FileType standard_output_type() { return FileType::kDisk; }
  // Receives what the system would write to standard output; non-zero fails it.
  virtual ErrorCode write_standard_output(std::string_view) { return 0; }
};

// Installs `seam` (nullptr removes it). Gives false in builds without the seam.
bool install_seam(Seam* seam);

}  // namespace tarnwick::platform
