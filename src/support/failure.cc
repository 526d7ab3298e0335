#include "support/failure.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tarnwick {
namespace {

// Each kind's name, as the report prints it.
constexpr std::array<std::string_view, 27> kKinds = {{
    "Exception",
    "EHeapException",
    "EOutOfMemory",
    "EInvalidPointer",
    "EInOutError",
    "EExternal",
    "EExternalException",
    "EAccessViolation",
    "EPrivilege",
    "EStackOverflow",
    "EControlC",
    "EIntError",
    "EDivByZero",
    "ERangeError",
    "EIntOverflow",
    "EMathError",
    "EInvalidOp",
    "EZeroDivide",
    "EOverflow",
    "EUnderflow",
    "EStreamError",
    "EFCreateError",
    "EFOpenError",
    "EFilerError",
    "EReadError",
    "EWriteError",
    "EStringListError",
}};
static_assert(kKinds.size() == static_cast<std::size_t>(Kind::EStringListError) + 1);

}  // namespace

std::string_view kind_name(Kind kind) { return kKinds[static_cast<std::size_t>(kind)]; }

Failure::Failure(Kind kind, const void* address, std::string_view text, std::string_view more,
                 std::string_view tail)
    : kind_(kind), address_(address) {
  for (std::string_view part : {text, more, tail}) {
    const std::size_t n = std::min(part.size(), kTextCapacity - length_);
    if (n != 0) std::memcpy(text_ + length_, part.data(), n);
    length_ += n;
  }
}

__attribute__((noinline)) void raise_failure(Kind kind, std::string_view text,
                                             std::string_view more, std::string_view tail) {
  throw Failure(kind, __builtin_return_address(0), text, more, tail);
}

__attribute__((noinline)) void raise_list_index_error(std::int64_t index) {
  char digits[24];
  char* end = digits + sizeof digits;
  char* p = end;
  std::uint64_t magnitude = index < 0 ? 0 - static_cast<std::uint64_t>(index) : index;
  do {
    *--p = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (index < 0) *--p = '-';
  throw Failure(Kind::EStringListError, __builtin_return_address(0), "List index out of bounds (",
                std::string_view(p, static_cast<std::size_t>(end - p)), ")");
}

}  // namespace tarnwick
