// End-to-end cases for Windows: raw command lines as the system hands them to
// the program, and the share modes of an open hosts file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "end_to_end.h"
#include "test_support.h"

namespace tarnwick {
namespace {

using testing::banner;
using testing::read_file;
using testing::report_pattern;
using testing::run_command_line;
using testing::ScratchDir;
using testing::write_file;

struct RawCase {
  std::string arguments;  // after the program's quoted path
  std::string printed;
  std::string file;
};

TEST(EndToEndWindowsTest, RawCommandLinesAreSplitAsTheToolReadsThem) {
  ScratchDir dir;
  const std::string hosts = dir.file("my hosts");
  write_file(hosts, "127.0.0.1 localhost\r\n");
  const std::string entry = "127.0.0.1        ADS.EXAMPLE.COM\r\n";
  const std::vector<RawCase> cases = {
      {"/B \"\" ads.example.com \"" + hosts + "\"", "Entry added.\r\n", "127.0.0.1 localhost\r\n" + entry},
      {"/b\tADS.example.com  \"" + hosts + "\"", "", "127.0.0.1 localhost\r\n" + entry},
      {"/U a\"ds.exa\"mple.com \"" + hosts + "\"", "Entry removed\r\n", "127.0.0.1 localhost\r\n"},
      // No escape character: the backslash stays and the quote closes.
      {"/U a.com \"" + dir.path() + "\\\"", "Cannot load " + dir.path() + "\\ hosts file\r\n",
       "127.0.0.1 localhost\r\n"},
  };
  for (const RawCase& c : cases) {
    const auto result = run_command_line("\"" + testing::tool_binary() + "\" " + c.arguments);
    EXPECT_EQ(result.output, banner() + c.printed) << c.arguments;
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(hosts), c.file) << c.arguments;
  }
}

// Another program holding the file open for writing keeps the load out.
TEST(EndToEndWindowsTest, FileHeldOpenForWritingCannotBeOpened) {
  ScratchDir dir;
  const std::string hosts = dir.file("hosts");
  write_file(hosts, testing::kHosts);
  {
    std::ofstream holder(hosts, std::ios::binary | std::ios::app);
    const auto result = testing::run_tool({"/B", "a.com", hosts});
    ASSERT_EQ(result.output.substr(0, banner().size()), banner());
    EXPECT_TRUE(std::regex_match(result.output.substr(banner().size()),
                                 report_pattern("EFOpenError", "Cannot open file " + hosts)))
        << result.output;
    EXPECT_EQ(result.status, 1);
  }
  EXPECT_EQ(read_file(hosts), testing::kHosts);
}

}  // namespace
}  // namespace tarnwick
