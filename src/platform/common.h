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

// Copies a NUL-terminated name, cut to fit `capacity` with its NUL.
void copy_name(char* out, std::size_t capacity, const char* name);

// True when `name` matches `pattern`: '*' stands for any run of bytes, '?' for one.
bool wildcard_match(const char* pattern, const char* name);

// The suffix that names a companion after the file it belongs to.
const char* companion_suffix(Companion companion);

// Appends "-<process number>" to the name in `out`, which holds `capacity`
// bytes: the name of a temporary file that no other run can take for its own.
// False (kErrorPathNotFound) when it would not fit.
bool append_process_number(char* out, std::size_t capacity, unsigned long process);

}  // namespace tarnwick::platform
