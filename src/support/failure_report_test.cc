#include "support/failure_report.h"

#include <gtest/gtest.h>

#include <tuple>

namespace tarnwick {
namespace {

struct ReportCase {
  std::string message;
  std::uint64_t address;
  std::string expected;
};

TEST(FailureReportTest, FormatsKindModuleAddressAndFullStop) {
  const std::vector<ReportCase> cases = {
      {"Cannot open file C:\\hosts", 0x1A2B, "Exception EFOpenError in module tarnwick at 00001A2B.\nCannot open file C:\\hosts."},
      {"Ends in a stop.", 0, "Exception EFOpenError in module tarnwick at 00000000.\nEnds in a stop."},
      {"", 0xFFFFFFFF, "Exception EFOpenError in module tarnwick at FFFFFFFF.\n"},
  };
  for (const ReportCase& c : cases) {
    ReportText text;
    format_failure_report(text, "EFOpenError", "tarnwick", c.address, c.message);
    EXPECT_EQ(text.view(), c.expected);
  }
}

// Outside every module the address counts from the usual load address, 4096,
// and stays eight digits below it too.
TEST(FailureReportTest, AddressOutsideEveryModuleIsEightDigits) {
  const CodeLocation location = locate_code(reinterpret_cast<const void*>(0x10));
  ReportText text;
  format_failure_report(text, "EFOpenError", location.module, location.relative_address, "");
  EXPECT_EQ(text.view(), "Exception EFOpenError in module " + std::string(location.module) + " at FFFFF010.\n");
}

TEST(FailureReportTest, CutAfter1024Characters) {
  ReportText text;
  format_failure_report(text, "EFOpenError", "tarnwick", 1, std::string(2000, 'p'));
  EXPECT_EQ(text.view().size(), 1024u);
  EXPECT_EQ(text.view().back(), 'p');  // the full stop falls beyond the cut
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

TEST(FailureReportTest, RuntimeErrorNumberTakesFourColumns) {
  const std::vector<std::pair<int, std::string>> cases = {
      {203, "Runtime error 203 at 0000ABCD"},
      {99, "Runtime error  99 at 0000ABCD"},
      {5, "Runtime error   5 at 0000ABCD"},
  };
  for (const auto& [number, expected] : cases) {
    ReportText text;
    format_runtime_error(text, number, 0xABCD);
    EXPECT_EQ(text.view(), expected);
  }
}

TEST(FailureReportTest, EachKindCountsAsEveryKindAboveIt) {
  const std::vector<std::tuple<Kind, Kind, bool>> cases = {
      {Kind::EReadError, Kind::EFilerError, true},   {Kind::EReadError, Kind::EStreamError, true},
      {Kind::EFOpenError, Kind::EStreamError, true}, {Kind::EFOpenError, Kind::EFilerError, false},
      {Kind::EDivByZero, Kind::EIntError, true},     {Kind::EDivByZero, Kind::EExternal, true},
      {Kind::EZeroDivide, Kind::EIntError, false},   {Kind::EOutOfMemory, Kind::EHeapException, true},
      {Kind::EInOutError, Kind::Exception, true},    {Kind::Exception, Kind::EInOutError, false},
      {Kind::EStringListError, Kind::EStreamError, false},
  };
  for (const auto& [kind, ancestor, expected] : cases) {
    EXPECT_EQ(is_kind_of(kind, ancestor), expected) << kind_name(kind) << " / " << kind_name(ancestor);
  }
}

}  // namespace
}  // namespace tarnwick
