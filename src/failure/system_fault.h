// How a processor fault becomes a Failure.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/platform.h"
#include "failure/failure.h"

namespace tarnwick {

struct FaultKind {
  Kind kind;
  std::string_view text;  // empty for access violations and unknown codes
  int number;             // for the runtime-error report
};

// The kind, text and runtime-error number for a Windows exception code.
FaultKind describe_fault(std::uint32_t code);

// The Failure for `fault`, raised at the faulting instruction.
Failure failure_from_fault(const platform::FaultRecord& fault);

}  // namespace tarnwick
