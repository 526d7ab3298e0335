// End-to-end cases for Windows: raw command lines as the system hands them to
// the program, share modes and locks, attributes and links.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using namespace testing;

const std::string kHosts = "127.0.0.1 localhost\r\n";
const std::string kAdded = "Entry added.\r\n";
const std::string kBlocked = kHosts + "127.0.0.1        A.COM\r\n";

TEST(EndToEndWindowsTest, RawCommandLinesAreSplitAsTheToolReadsThem) {
  ScratchDir dir;
  const std::string hosts = dir.file("my hosts"), entry = "127.0.0.1        ADS.EXAMPLE.COM\r\n";
  write_file(hosts, kHosts);
  for (const auto& [arguments, printed, file] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"/B \"\" ads.example.com \"" + hosts + "\"", kAdded, kHosts + entry},
           {"/b\tADS.example.com  \"" + hosts + "\"", "", kHosts + entry},
           {"/U a\"ds.exa\"mple.com \"" + hosts + "\"", "Entry removed\r\n", kHosts},
           // No escape character: the backslash stays and the quote closes.
           {"/U a.com \"" + dir.path() + "\\\"", "Cannot load " + dir.path() + "\\ hosts file\r\n", kHosts}}) {
    const RunResult result = run_command_line('"' + tool() + "\" " + arguments);
    EXPECT_EQ(result.output, banner() + printed) << arguments;
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(hosts), file) << arguments;
  }
}

// Another program holding the file open for writing keeps the load out, and
// anyone may hold the runs' named mutex: a run waits 10 seconds for it at
// most, then ends as when the file is held open, and touches nothing.
TEST(EndToEndWindowsTest, FileHeldElsewhereIsReportedAndKept) {
  for (const bool mutex : {false, true}) {
    ScratchDir dir;
    const std::string hosts = dir.file("hosts");
    write_file(hosts, kHosts);
    std::optional<std::ofstream> holder;
    platform::Site site;
    const platform::Handle lock = mutex && platform::locate(hosts.c_str(), site) ? platform::lock_companion(site) : -1;
    if (!mutex) holder.emplace(hosts, std::ios::binary | std::ios::app);
    ASSERT_TRUE(!mutex || lock >= 0);
    const auto started = std::chrono::steady_clock::now();
    const RunResult result = run({tool(), "/B", "a.com", hosts});
    const auto waited = std::chrono::steady_clock::now() - started;
    if (mutex) platform::unlock_companion(site, lock);
    holder.reset();
    EXPECT_TRUE(is_report(result.output, "", "EFOpenError Cannot open file " + hosts)) << ::testing::PrintToString(result.output);
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(!mutex || (waited >= std::chrono::seconds(9) && waited < std::chrono::seconds(20)));
    EXPECT_EQ(read_file(hosts), kHosts);
  }
}

// The replace keeps hidden, system and the rest, where the system itself
// would drop them; and through a symbolic link the file it leads to is
// replaced, the link staying. Under Wine the link is a Unix one, made by the
// build beside "real".
TEST(EndToEndWindowsTest, BlockKeepsAttributesAndLinks) {
  ScratchDir dir;
  const std::string hosts = dir.file("hosts");
  write_file(hosts, kHosts);
  const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
  ASSERT_TRUE(SetFileAttributesA(hosts.c_str(), kept));
  EXPECT_EQ(run({tool(), "/B", "a.com", hosts}).output, banner() + kAdded);
  EXPECT_EQ(read_file(hosts), kBlocked);
  EXPECT_EQ(GetFileAttributesA(hosts.c_str()) & kept, kept);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"hosts"});
  const fs::path place = native_path(TARNWICK_LINK_TEST_DIR);
  if (!fs::exists(place / "link")) GTEST_SKIP() << "no link made by the build";
  write_file((place / "real").string(), kHosts);
  EXPECT_EQ(run({tool(), "/B", "a.com", (place / "link").string()}).output, banner() + kAdded);
  // A link replaced by a file of its own would leave the real file as it was.
  EXPECT_EQ(read_file((place / "real").string()), kBlocked);
  EXPECT_EQ(read_file((place / "link").string()), kBlocked);
  EXPECT_EQ(std::distance(fs::directory_iterator(place), fs::directory_iterator()), 2);
}

}  // namespace
}  // namespace tarnwick
