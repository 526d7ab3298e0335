#include "support/failure_report.h"

#include <gtest/gtest.h>

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

TEST(FailureReportTest, CutAfter1024Characters) {
  ReportText text;
  format_failure_report(text, "EFOpenError", "tarnwick", 1, std::string(2000, 'p'));
  EXPECT_EQ(text.view().size(), 1024u);
  EXPECT_EQ(text.view().back(), 'p');  // the full stop falls beyond the cut
}

}  // namespace
}  // namespace tarnwick
