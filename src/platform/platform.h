// The tool's only door to the operating system.
//
// Every call the tool makes to the system goes through the functions below.
// Each system's implementation sits beside this header in files by concern
// (files, process, faults); nothing else in the tree includes system headers. The types here are plain integers and byte
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
inline constexpr ErrorCode kErrorWriteProtect = 19;
inline constexpr ErrorCode kErrorSharingViolation = 32;
inline constexpr ErrorCode kErrorNotSupported = 50;
inline constexpr ErrorCode kErrorFileExists = 80;
inline constexpr ErrorCode kErrorInvalidName = 123;
inline constexpr ErrorCode kErrorFilenameTooLong = 206;
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

// True when `error`, met making a file beside the hosts file, says that its
// directory can never hold one: this user may not write there, or the file
// system refuses the name. Any other error (a limit of the process or the
// system, a full disk, a quota, a failing disk) may pass, and is no such
// answer.
bool refused_for_good(ErrorCode error);

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

// Writes all of `bytes`, continuing after short and interrupted writes. A
// write the system takes without a byte ends it as a failure.
bool write(Handle handle, std::string_view bytes);
// For standard output: as write(), but a write the system takes without a
// byte ends it quietly, and the rest is dropped as a short write's would be.
bool write_output(Handle handle, std::string_view bytes);

void close(Handle handle);

// ---- Where a file lives -----------------------------------------------------------

// A file found once: its full path with symbolic links resolved, and, where the
// system allows, the directory that holds it kept open, so that every later call
// about the file and the files beside it reaches the same directory whatever
// happens to the path meanwhile.
struct Site {
  std::string path;                   // links resolved (Windows: UTF-16, in the "\\?\" form)
  std::size_t name_at = 0;            // where the file's own name starts in `path`
  Handle directory = kInvalidHandle;  // closed with close()
};

// Finds the regular file that `path` names, following links to the final file.
// False (and `site` untouched) when it names none.
bool locate(const char* path, Site& site);

// What tells one state of a file from another: the same file, unchanged, gives
// the same stamp.
struct FileStamp {
  std::uint64_t device = 0;
  std::uint64_t file = 0;  // the file's number on its device
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // last write, in the system's finest unit
  std::int64_t changed = 0;   // last change of any kind, where the system keeps it
  std::uint64_t links = 1;    // the names the file has
  bool operator==(const FileStamp&) const = default;
};
bool stamp(Handle handle, FileStamp& out);

// What tells a file from any file made later in its place, whatever is done
// to it meanwhile and however its disk is mounted next: its number and its
// birth where the system keeps one (and, on Windows, its volume's serial).
struct FileIdentity {
  std::uint64_t device = 0, file = 0;
  std::int64_t born = 0;
  bool operator==(const FileIdentity&) const = default;
};
bool identify(Handle handle, FileIdentity& out);

// The site of the file that `path`, a path in the form a Site holds it, would
// name, whether or not that file exists: its directory held. False where
// the directory is not there (kErrorPathNotFound) or may not be entered
// (kErrorAccessDenied).
bool site_at(std::string_view path, Site& out);

// True when this process can see that the file at `site` is reached by a
// name a rename would not move with it: the file is a mount point, or the
// source of a bind mount. A mount in another mount namespace (a
// container's) cannot be seen.
bool mounted_elsewhere(const Site& site);

// The files a run keeps beside the file it edits, named after it.
enum class Companion { kLock, kJournal, kTemporary };
// The suffix that names a companion after the file it belongs to.
const char* companion_suffix(Companion companion);

// Removes the temporary files that runs which died left beside the file at
// `site`, under every name a run gives one, where a trusted user made them.
void remove_leftovers(const Site& site);

// Makes the directory entries beside the file durable.
bool sync_directory(const Site& site);

// ---- The journal (hosts/journal.h decides what becomes of it) ---------------

// Makes a new journal beside the file at `site`, open to this user alone and
// readable by those who may read the file. Refused (kErrorFileExists) where
// the name is taken by a journal a run trusted with the file may have left;
// what else holds it goes, but a file, which may hold someone's old text, is
// set aside, never removed.
Handle create_journal(const Site& site);
// Opens the journal beside the file at `journal` for reading, without
// following a link; kInvalidHandle when there is none, or none this user may
// read. `trusted` tells whether a run trusted with the file at `file` made it:
// a plain file nobody else may change, made by the file's owner, the
// administrator or this user, or the very journal the file's mark names
// (`marked`, when not null).
Handle open_journal(const Site& journal, const Site& file, const FileIdentity* marked, bool& trusted);
// Removes the journal beside the file at `site`; true where there is none.
bool remove_journal(const Site& site);
// Renames the journal beside the file at `site` to its name followed by ".N",
// the first N from 1 that is free, and makes that durable. No run touches a
// journal set aside again.
bool set_aside_journal(const Site& site);

// ---- The mark of a change in progress --------------------------------------
//
// While a file is written in place it carries a mark of the change, which
// runs through any of its names find whatever the name they came by: an
// extended attribute on Linux, a stream of the file on Windows. Only a user
// who may write the file can set one. Its bytes are the journal's business.

// The most a mark may hold.
inline constexpr std::size_t kMarkCapacity = 4096;
// Sets the mark of the open file to `mark`, durably. kErrorNotSupported
// where the file system, or this user, cannot keep one at all;
// kErrorDiskFull where there is no room for one of that size.
bool set_mark(Handle file, std::string_view mark);
// Takes the mark away, durably; true where there is none.
bool clear_mark(Handle file);
// Reads the mark of the file at `site` into `out`; false where it bears none
// (kErrorFileNotFound), or where that cannot be told.
bool read_mark(const Site& site, std::string& out);

// True when the administrator owns the open file: only such a journal may
// give a file back what only the administrator may give it.
bool owned_by_administrator(Handle handle);

// ---- Replacing a file's content -----------------------------------------------
//
// A save goes through these calls: the file is opened for writing without
// emptying it, the new text goes to a temporary file beside it, and the temporary
// file takes the file's place in one step. Where that cannot keep the file's
// identity the text is written over the file in place.

// Opens the file at `site` for reading and writing without emptying it, without
// following a link planted in its place. A file that nobody may write
// (read-only) is refused, also for an administrator. Nothing else may hold
// the file open meanwhile, but the run's own lock on it (lock_itself()).
Handle open_for_update(const Site& site);

// True when the name of the file at `site` still names the open `file`:
// nothing was put in its place since it was opened.
bool names_file(const Site& site, Handle file);

// Gives `to` the owner of `from`.
bool adopt_owner(Handle from, Handle to);

// Makes the temporary file the same file as `target` to its users: owner,
// permissions and every extended attribute (access lists, security labels,
// capabilities). Called once its text is written, since writing drops some.
// False when that cannot be done.
bool copy_metadata(Handle target, Handle temporary);

// Makes the file's bytes durable.
bool sync(Handle handle);

// Writes `bytes` at `offset`, continuing after short writes.
bool write_at(Handle handle, std::int64_t offset, std::string_view bytes);

// Appends `bytes` to `to`, a file being written anew, where they are the
// bytes of `from` at `offset`. Where the file system shares extents between
// files (XFS, btrfs), the whole blocks among them are shared with `from`
// instead of copied (copy_file_range), so that none of their bytes passes
// through memory; the rest is written, and so is everything where the system
// refuses to share. Fails as write() does, and where `from` ends before the
// bytes do: the copy reads the file as it is at that moment.
bool copy_range(Handle from, std::uint64_t offset, Handle to, std::string_view bytes);

// Starts writing the file's written bytes to the disk without waiting for
// them, so that sync() finds most of them done. A hint: nothing where the
// system has no such call.
void start_write_back(Handle handle);

bool truncate(Handle handle, std::int64_t size);

// What the system takes from a file whenever it is written (Linux's file
// capabilities), kept to be put back once the save's text is written: by the
// administrator only, who alone may give it back.
struct Capability {
  char bytes[64];
  std::size_t size = 0;  // 0: none to put back
};
bool capability_of(Handle file, Capability& out);
bool restore_capability(Handle file, const Capability& capability);

// ---- Temporary files (hosts/temporary_file.h decides what becomes of them) --
//
// A temporary file is known by a number: kNoName for one without a name, 0
// for the companion's own name (NAME.tarnwick-new), a process's number for
// one named after that process (NAME.tarnwick-new-PID).
inline constexpr std::uint64_t kNoName = UINT64_MAX;

// Makes a new, empty temporary file beside the file at `site`, open to this
// user alone: without a name (`number` kNoName) where the system allows, so
// that nothing is left if the process dies; named after this process
// otherwise.
Handle create_temporary(const Site& site, std::uint64_t& number);
// Gives a temporary file without a name its name for the instant before it
// moves: the companion's own, or this process's where another user's file
// holds that one.
bool name_temporary(const Site& site, Handle temporary, std::uint64_t& number);
// Moves the temporary file `number` over the file at `site` in one step, and
// closes `temporary`. The file keeps its attributes. False where the system
// refuses (for example a target that is a mount point): the file holds its
// old text, and the temporary file is still there. The move is durable once
// sync_directory() succeeds.
bool move_temporary(const Site& site, Handle& temporary, std::uint64_t number);
// Removes the temporary file `number`.
void remove_temporary(const Site& site, std::uint64_t number);

// ---- Serialising runs -------------------------------------------------------------

// Takes the lock file that runs of the tool through the name at `site`
// share, waiting while another run holds it, without limit: a holder removes
// it at its end, and a waiting run then takes the next one. It is open only
// to those who may write the file, so that a user who may merely read the
// file cannot hold runs up. kInvalidHandle when this user may not make or
// open one; last_error() is kErrorSharingViolation where something no
// trusted run made holds its name for longer than 10 seconds.
Handle lock_companion(const Site& site);
void unlock_companion(const Site& site, Handle lock);
// Locks the file itself: the lock that runs through every name of the file
// meet, whichever lock file they hold. Another run's hold is waited for
// without limit. Where a reader can take the lock too, the reader's hold is
// waited for 10 seconds at most (then kErrorSharingViolation), or, for a run
// `alone` with the file (it holds the lock file, and nobody else may write
// the file or reach it by another name), not at all. kInvalidHandle with
// another error where the file cannot be locked (this user may not write it,
// or its file system keeps no locks), or, on Windows, where a run alone
// needs no lock on the file.
Handle lock_itself(const Site& site, bool holds_lock_file);
void unlock_itself(Handle lock);
// True when runs that share no lock file may edit the file: someone besides
// this user may write it, or it has several names.
bool others_may_write(const Site& site);

// ---- Interrupts ---------------------------------------------------------------------

// Between hold_interrupts and release_interrupts, the requests that end a
// process (Ctrl-C, a terminal hang-up, a polite kill) wait; released, they take
// their usual course. Calls nest.
void hold_interrupts();
void release_interrupts();

// The run's own files, as the interrupt and fault handlers know them: the
// lock file (POSIX; a Windows one goes with its holder) and a named temporary
// file, each known by its companion and number (as temporary files are), once
// made, and no longer just before it goes. A name is published whole, with
// one store, so that a handler never removes a name half copied.
void publish_run_file(Companion companion, const Site& site, std::uint64_t number);
void withdraw_run_file(Companion companion);
// For a run that ends abruptly: removes the run's own files that are
// published (never a journal, which may hold the only old text). Safe in a
// fault handler.
void remove_run_files();

// ---- Memory ---------------------------------------------------------------------

// A block from the system's heap, or nullptr when there is none to be had.
void* allocate(std::size_t size);
void release(void* block);

// ---- Mapped files ---------------------------------------------------------------

// Maps the first `size` bytes of an open file for reading, all pages at once.
// Gives nullptr when the system cannot map the file; reading it is then the way.
char* map_file(Handle handle, std::size_t size);
void unmap_file(char* block, std::size_t size);
// Gives the process its own, writable copy of every page of a mapped block
// from byte `from` on, no longer the file's: later changes to that part of
// the file, or cutting the file short, no longer show in it.
bool detach_mapping(char* block, std::size_t size, std::size_t from);

// ---- Console and process -------------------------------------------------------

// The standard-output handle, or kInvalidHandle.
Handle standard_output();

enum class FileType { kUnknown = 0, kDisk = 1, kCharacter = 2, kPipe = 3 };
FileType file_type(Handle handle);

// Prepares the process: broken pipes and files grown past a size limit become
// write errors instead of ending it, interrupts remove the run's files before
// they end it, and the program's name and its loaded modules are noted so that
// fault handlers can name them.
void initialize_process();

// The process command line as one byte string: the program's name, then its
// arguments. Where the system keeps the line as it was typed (Windows) that is
// it. Elsewhere it is joined from the arguments main() got: each argument after
// one space, wrapped in double quotes when it is empty or holds a control byte
// or space and no double quote. The program's own name always stays one token:
// its quotes and blanks are dropped and it is cut to the longest token, or
// "tarnwick" stands for an empty one.
std::string command_line(int count, const char* const* arguments);

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
  // The access fell on a mapped file's page that the file no longer has: the
  // file was shortened under the process.
  bool in_mapped_file = false;
};

// Runs `handler` on a stack of its own when the processor faults. The handler
// must only use async-signal-safe means. If it returns, the fault takes the
// system's default course (a debugger or a core dump gets it).
void install_fault_handler(void (*handler)(const FaultRecord& fault));

// True when a debugger is attached to the process: faults are then left to it.
bool debugger_attached();

}  // namespace tarnwick::platform
