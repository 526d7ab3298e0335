// What the platform backends share: the last error, the failure hook's guard,
// and small helpers on names that are safe in fault and interrupt handlers.
#pragma once

#include <cstddef>

#include "platform/platform.h"
#include "platform/seam.h"

namespace tarnwick::platform {

void set_last_error(ErrorCode code);

// Records `code` as the last error; gives `result` for convenience.
template <typename T>
T fail_with(ErrorCode code, T result) {
  set_last_error(code);
  return result;
}

// What a backend finds out about a file at a companion's name.
struct CompanionFacts {
  bool plain_file = false;        // a regular file: no directory, device or link
  bool one_name = false;          // it has no other name, where others could reach it
  bool by_file_owner = false;     // made (owned) by the owner of the file it belongs to
  bool by_administrator = false;  // by the administrator (Windows: the administrators, the system, the installer)
  bool by_this_user = false;      // by the user this run is
  bool vouched_by_mark = false;   // the journal that the file's own mark names
  bool others_may_write = false;  // anyone but its owner (on Windows, those trusted with the file) may change it
  bool others_may_open = false;   // someone who may not write the file may open it
};

// True when a run trusted with the file may have made the companion, and
// nobody else may have changed it since: it may then be taken for a run's
// (the lock file), played back (the journal) or removed (a temporary file).
bool trusted_companion(Companion companion, const CompanionFacts& facts);

// Copies a NUL-terminated name, cut to fit `capacity` with its NUL.
void copy_name(char* out, std::size_t capacity, const char* name);

// True when `name` matches `pattern`: '*' stands for any run of bytes, '?' for one.
bool wildcard_match(const char* pattern, const char* name);


// Appends "-<process number>" to the name in `out`, which holds `capacity`
// bytes: the name of a temporary file that no other run can take for its own.
// False (kErrorPathNotFound) when it would not fit.
bool append_process_number(char* out, std::size_t capacity, unsigned long process);

}  // namespace tarnwick::platform
