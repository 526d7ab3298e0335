// Failures: the errors the tool raises and never catches itself.
//
// A Failure carries its kind, its message text and the code address it was
// raised from. Only the outermost handler catches it and turns it into the
// failure report. Its text lives in a fixed buffer, so raising and reporting a
// Failure need no heap memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "failure/fixed_text.h"

namespace tarnwick {

// The kinds form one tree under Exception, in this order: EHeapException
// (EOutOfMemory, EInvalidPointer); EInOutError; EExternal (EExternalException,
// EAccessViolation, EPrivilege, EStackOverflow, EControlC, EIntError with
// EDivByZero, ERangeError and EIntOverflow, EMathError with EInvalidOp,
// EZeroDivide, EOverflow and EUnderflow); EStreamError (EFCreateError,
// EFOpenError, EFilerError with EReadError and EWriteError); EStringListError.
// The report prints a kind's name as its enumerator is spelled: both come
// from this one list.
#define TARNWICK_FAILURE_KINDS(X) \
  X(Exception)                    \
  X(EHeapException)               \
  X(EOutOfMemory)                 \
  X(EInvalidPointer)              \
  X(EInOutError)                  \
  X(EExternal)                    \
  X(EExternalException)           \
  X(EAccessViolation)             \
  X(EPrivilege)                   \
  X(EStackOverflow)               \
  X(EControlC)                    \
  X(EIntError)                    \
  X(EDivByZero)                   \
  X(ERangeError)                  \
  X(EIntOverflow)                 \
  X(EMathError)                   \
  X(EInvalidOp)                   \
  X(EZeroDivide)                  \
  X(EOverflow)                    \
  X(EUnderflow)                   \
  X(EStreamError)                 \
  X(EFCreateError)                \
  X(EFOpenError)                  \
  X(EFilerError)                  \
  X(EReadError)                   \
  X(EWriteError)                  \
  X(EStringListError)

enum class Kind : std::uint8_t {
#define TARNWICK_KIND(name) name,
  TARNWICK_FAILURE_KINDS(TARNWICK_KIND)
#undef TARNWICK_KIND
};

std::string_view kind_name(Kind kind);

class Failure {
 public:
  static constexpr std::size_t kTextCapacity = 1024;

  // The text is the concatenation of the parts, cut at kTextCapacity bytes.
  Failure(Kind kind, const void* address, std::string_view text, std::string_view more = {},
          std::string_view tail = {});

  Kind kind() const { return kind_; }
  std::string_view text() const { return text_.view(); }
  // Where the raising call returns to, or the faulting instruction.
  const void* address() const { return address_; }
  void set_address(const void* address) { address_ = address; }
  // The I/O code an EInOutError was made from; 0 for other kinds.
  int io_code() const { return io_code_; }
  void set_io_code(int code) { io_code_ = code; }

 private:
  Kind kind_;
  int io_code_ = 0;
  const void* address_;
  FixedText<kTextCapacity> text_;
};

// Raise a Failure whose code address is the return address of this call.
[[noreturn]] void raise_failure(Kind kind, std::string_view text, std::string_view more = {},
                                std::string_view tail = {});

// "List index out of bounds (%d)".
[[noreturn]] void raise_list_index_error(std::int64_t index);

}  // namespace tarnwick
