#include "platform/common.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarnwick::platform {
namespace {

thread_local ErrorCode t_last_error = 0;

}  // namespace

ErrorCode (*g_failure_hook)(Call) = nullptr;

ErrorCode last_error() { return t_last_error; }

void set_last_error(ErrorCode code) { t_last_error = code; }

bool injected(Call call) {
  if (g_failure_hook == nullptr) return false;
  const ErrorCode code = g_failure_hook(call);
  if (code != 0) t_last_error = code;
  return code != 0;
}

bool refused_for_good(ErrorCode error) {
  switch (error) {
    case kErrorAccessDenied:     // may not write there, or a file system mounted read-only
    case kErrorWriteProtect:
    case kErrorPathNotFound:     // a name too long
    case kErrorFilenameTooLong:
    case kErrorInvalidName:      // or one the file system cannot spell
      return true;
    default:
      return false;
  }
}

void* allocate(std::size_t size) {
  if (injected(Call::kAllocate)) return nullptr;
  return std::malloc(size);
}

void release(void* block) { std::free(block); }

void copy_name(char* out, std::size_t capacity, const char* name) {
  const std::size_t length = std::min(std::strlen(name), capacity - 1);
  std::memcpy(out, name, length);
  out[length] = '\0';
}

bool wildcard_match(const char* pattern, const char* name) {
  // One back-tracking point is enough: the last '*' seen.
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

const char* companion_suffix(Companion companion) {
  static constexpr const char* kSuffixes[] = {".tarnwick-lock", ".tarnwick-journal", ".tarnwick-new"};
  return kSuffixes[static_cast<int>(companion)];
}

bool append_process_number(char* out, std::size_t capacity, unsigned long process) {
  const std::size_t length = std::strlen(out);
  const int written = std::snprintf(out + length, capacity - length, "-%lu", process);
  return (written > 0 && static_cast<std::size_t>(written) < capacity - length) ||
         fail_with(kErrorPathNotFound, false);
}

}  // namespace tarnwick::platform
