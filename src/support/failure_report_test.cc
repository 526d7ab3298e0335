#include "support/failure_report.h"

#include <gtest/gtest.h>

#include "support/system_fault.h"

namespace tarnwick {
namespace {

TEST(FailureReportTest, FormatsKindModuleAddressAndFullStop) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Cannot open file C:\\hosts", "Cannot open file C:\\hosts."},
      {"Ends in a stop.", "Ends in a stop."},
      {"", ""},
      {std::string(2000, 'p'), std::string(970, 'p')},  // cut after 1024 bytes
  };
  for (const auto& [message, shown] : cases) {
    ReportText text;
    format_failure_report(text, "EFOpenError", "tarnwick", 0x1A2B, message);
    EXPECT_EQ(text.view(), "Exception EFOpenError in module tarnwick at 00001A2B.\n" + shown);
  }
  // Outside every module the address counts from the usual load address.
  const CodeLocation location = locate_code(reinterpret_cast<const void*>(0x10));
  EXPECT_EQ(location.relative_address, 0xFFFFF010u);
  for (const auto& [number, expected] : std::vector<std::pair<int, std::string>>{
           {203, "Runtime error 203 at 0000ABCD"}, {5, "Runtime error   5 at 0000ABCD"}}) {
    ReportText text;
    format_runtime_error(text, number, 0xABCD);
    EXPECT_EQ(text.view(), expected);
  }
}

// The texts built from what the system tells of a fault.
TEST(FailureReportTest, FaultTexts) {
  platform::FaultRecord record;
  record.code = platform::kStatusAccessViolation;
  record.write_access = true;
  record.accessed_address = reinterpret_cast<const void*>(0x10);
  record.fault_address = reinterpret_cast<const void*>(0x20);  // in no module
  EXPECT_EQ(failure_from_fault(record).text(), "Access violation at address 00000020. Write of address 00000010");
  record.code = 0x0000ABCD;
  EXPECT_EQ(failure_from_fault(record).text(), "External exception ABCD");
  EXPECT_EQ(failure_from_fault(record).kind(), Kind::EExternalException);
}

}  // namespace
}  // namespace tarnwick
