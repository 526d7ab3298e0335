// End-to-end cases for Windows: raw command lines as the system hands them to
// the program, and the share modes of an open hosts file.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>

#include "end_to_end.h"
#include "platform/platform.h"
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

const std::string kEntry = "127.0.0.1        A.COM\r\n";

// The replace keeps hidden, system and the rest, where the system itself
// would drop them.
TEST(EndToEndWindowsTest, BlockKeepsTheFileAttributes) {
  ScratchDir dir;
  const std::string hosts = dir.file("hosts");
  write_file(hosts, testing::kHosts);
  const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
  ASSERT_TRUE(SetFileAttributesA(hosts.c_str(), kept));
  const auto result = testing::run_tool({"/B", "a.com", hosts});
  EXPECT_EQ(result.output, banner() + "Entry added.\r\n");
  EXPECT_EQ(read_file(hosts), "127.0.0.1 localhost\r\n" + kEntry);
  EXPECT_EQ(GetFileAttributesA(hosts.c_str()) & kept, kept);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"hosts"});
}

// A hosts path that is a symbolic link: the file it leads to is replaced, and
// the link stays a link.
// Under Wine the link is a Unix one, made by the build beside a file "real".
TEST(EndToEndWindowsTest, BlockThroughALinkKeepsTheLink) {
  const std::string real = testing::native_path(TARNWICK_LINK_TEST_DIR "/real");
  const std::string link = testing::native_path(TARNWICK_LINK_TEST_DIR "/link");
  if (!std::filesystem::exists(link)) GTEST_SKIP() << "no link made by the build";
  write_file(real, testing::kHosts);
  const auto result = testing::run_tool({"/B", "a.com", link});
  EXPECT_EQ(result.output, banner() + "Entry added.\r\n");
  // A link replaced by a file of its own would leave the real file as it was.
  EXPECT_EQ(read_file(real), "127.0.0.1 localhost\r\n" + kEntry);
  EXPECT_EQ(read_file(link), read_file(real));
  EXPECT_EQ(std::filesystem::file_size(std::filesystem::path(real).parent_path() / "real"),
            read_file(real).size());
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(real).parent_path())) ++entries;
  EXPECT_EQ(entries, 2u);
}

// Anyone may hold a named mutex: a run waits 10 seconds for it at most, then
// ends as when the file is held open, and touches nothing.
TEST(EndToEndWindowsTest, RunLockHeldElsewhereIsWaitedForTenSecondsAtMost) {
  ScratchDir dir;
  const std::string hosts = dir.file("hosts");
  write_file(hosts, testing::kHosts);
  platform::Site site;
  ASSERT_TRUE(platform::locate(hosts.c_str(), site));
  const platform::Handle lock = platform::lock_run(site);
  ASSERT_GE(lock, 0);
  const auto started = std::chrono::steady_clock::now();
  const auto result = testing::run_tool({"/B", "a.com", hosts});
  const auto waited = std::chrono::steady_clock::now() - started;
  platform::unlock_run(site, lock);
  ASSERT_EQ(result.output.substr(0, banner().size()), banner());
  EXPECT_TRUE(std::regex_match(result.output.substr(banner().size()),
                               report_pattern("EFOpenError", "Cannot open file " + hosts)))
      << result.output;
  EXPECT_EQ(result.status, 1);
  EXPECT_GE(waited, std::chrono::seconds(9));
  EXPECT_LT(waited, std::chrono::seconds(20));
  EXPECT_EQ(read_file(hosts), testing::kHosts);
}

}  // namespace
}  // namespace tarnwick
