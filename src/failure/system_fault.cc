#include "failure/system_fault.h"

#include "failure/report.h"
#include "failure/fixed_text.h"

namespace tarnwick {

FaultKind describe_fault(std::uint32_t code) {
  using namespace platform;
  switch (code) {
    case kStatusAccessViolation: return {Kind::EAccessViolation, "", 216};
    case kStatusArrayBoundsExceeded: return {Kind::ERangeError, "Range check error", 201};
    case kStatusFloatDenormalOperand: return {Kind::EUnderflow, "Floating point underflow", 206};
    case kStatusFloatDivideByZero: return {Kind::EZeroDivide, "Floating point division by zero", 200};
    case kStatusFloatInexactResult:
    case kStatusFloatInvalidOperation:
    case kStatusFloatStackCheck: return {Kind::EInvalidOp, "Invalid floating point operation", 207};
    case kStatusFloatOverflow: return {Kind::EOverflow, "Floating point overflow", 205};
    case kStatusFloatUnderflow: return {Kind::EUnderflow, "Floating point underflow", 206};
    case kStatusIntegerDivideByZero: return {Kind::EDivByZero, "Division by zero", 200};
    case kStatusIntegerOverflow: return {Kind::EIntOverflow, "Integer overflow", 215};
    case kStatusPrivilegedInstruction: return {Kind::EPrivilege, "Privileged instruction", 218};
    case kStatusStackOverflow: return {Kind::EStackOverflow, "Stack overflow", 202};
    case kStatusControlCExit: return {Kind::EControlC, "Control-C hit", 217};
    default: return {Kind::EExternalException, "", 255};
  }
}

Failure failure_from_fault(const platform::FaultRecord& fault) {
  const FaultKind described = describe_fault(fault.code);
  FixedText<Failure::kTextCapacity> text;
  if (described.kind == Kind::EAccessViolation) {
    text << "Access violation at address ";
    text.hex(reinterpret_cast<std::uintptr_t>(fault.fault_address));
    char module[261];
    std::uintptr_t base = 0;
    if (platform::find_module(fault.fault_address, module, sizeof module, &base)) {
      text << " in module '" << module << "'";
    }
    text << ". " << (fault.write_access ? "Write" : "Read") << " of address ";
    text.hex(reinterpret_cast<std::uintptr_t>(fault.accessed_address));
  } else if (described.kind == Kind::EExternalException) {
    text << "External exception ";
    text.hex(fault.code, 1);
  } else {
    text << described.text;
  }
  return Failure(described.kind, fault.fault_address, text.view());
}

}  // namespace tarnwick
