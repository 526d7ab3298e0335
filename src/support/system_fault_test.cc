#include "support/system_fault.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

using namespace platform;

struct FaultCase {
  std::uint32_t code;
  Kind kind;
  std::string text;
  int number;
};

TEST(SystemFaultTest, TableGivesKindTextAndNumber) {
  const std::vector<FaultCase> cases = {
      {kStatusArrayBoundsExceeded, Kind::ERangeError, "Range check error", 201},
      {kStatusFloatInexactResult, Kind::EInvalidOp, "Invalid floating point operation", 207},
      {kStatusFloatDenormalOperand, Kind::EUnderflow, "Floating point underflow", 206},
      {kStatusIntegerDivideByZero, Kind::EDivByZero, "Division by zero", 200},
      {kStatusStackOverflow, Kind::EStackOverflow, "Stack overflow", 202},
      {kStatusIllegalInstruction, Kind::EExternalException, "External exception C000001D", 255},
      {0x0000ABCD, Kind::EExternalException, "External exception ABCD", 255},
  };

  for (const FaultCase& c : cases) {
    FaultRecord record;
    record.code = c.code;
    record.fault_address = reinterpret_cast<const void*>(0x1234);
    const Failure failure = failure_from_fault(record);
    EXPECT_EQ(failure.kind(), c.kind);
    EXPECT_EQ(failure.text(), c.text);
    EXPECT_EQ(failure.address(), record.fault_address);
    EXPECT_EQ(describe_fault(c.code).number, c.number);
  }
}

TEST(SystemFaultTest, AccessViolationNamesTheModuleWhenThereIsOne) {
  FaultRecord record;
  record.code = kStatusAccessViolation;
  record.write_access = true;
  record.accessed_address = reinterpret_cast<const void*>(0x10);
  record.fault_address = reinterpret_cast<const void*>(0x20);  // in no module
  EXPECT_EQ(failure_from_fault(record).text(),
            "Access violation at address 00000020. Write of address 00000010");

  record.write_access = false;
  record.fault_address = reinterpret_cast<const void*>(&failure_from_fault);
  const std::string text(failure_from_fault(record).text());
#ifdef _WIN32
  const std::string module = "tarnwick_tests.exe";
#else
  const std::string module = "tarnwick_tests";
#endif
  EXPECT_NE(text.find(" in module '" + module + "'. Read of address 00000010"), std::string::npos) << text;
  EXPECT_EQ(describe_fault(kStatusAccessViolation).number, 216);
}

}  // namespace
}  // namespace tarnwick
