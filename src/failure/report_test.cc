#include "failure/report.h"

#include <gtest/gtest.h>

#include "failure/system_fault.h"

namespace tarnwick {
namespace {

// A full stop is added unless there is one, and the report is cut after 1024
// bytes; a runtime error's number takes four columns; outside every module an
// address counts from the usual load address.
TEST(FailureReportTest, FormatsReportsAndRuntimeErrors) {
  const std::string head = "Exception EFOpenError in module tarnwick at 00001A2B.\n";
  for (const auto& [message, shown] : std::vector<std::pair<std::string, std::string>>{
           {"Cannot open file C:\\hosts", "Cannot open file C:\\hosts."},
           {"Ends in a stop.", "Ends in a stop."},
           {"", ""},
           {std::string(2000, 'p'), std::string(1024 - head.size(), 'p')}}) {
    ReportText text;
    format_failure_report(text, "EFOpenError", "tarnwick", 0x1A2B, message);
    EXPECT_EQ(text.view(), head + shown);
  }
  for (const auto& [number, expected] : std::vector<std::pair<int, std::string>>{
           {203, "Runtime error 203 at 0000ABCD"}, {5, "Runtime error   5 at 0000ABCD"}}) {
    ReportText text;
    format_runtime_error(text, number, 0xABCD);
    EXPECT_EQ(text.view(), expected);
  }
  const CodeLocation outside = locate_code(reinterpret_cast<const void*>(0x10));  // in no module: the program's
  EXPECT_EQ(outside.relative_address, 0xFFFFF010u);
  EXPECT_EQ(outside.module, platform::program_name());
}

// A fault code the table does not know is reported by its number.
TEST(FailureReportTest, UnknownFaultIsAnExternalException) {
  for (const auto& [code, text] : std::vector<std::pair<std::uint32_t, std::string>>{
           {0xE06D7363, "External exception E06D7363"}, {0x2A, "External exception 2A"}}) {
    platform::FaultRecord fault;
    fault.code = code;
    const Failure failure = failure_from_fault(fault);
    EXPECT_EQ(failure.kind(), Kind::EExternalException);
    EXPECT_EQ(failure.text(), text);
  }
}

}  // namespace
}  // namespace tarnwick
