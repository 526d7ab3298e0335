// End-to-end cases that need POSIX tools: other users, private mounts,
// terminals, resource limits and signals.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>

#include "end_to_end.h"
#include "test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using testing::banner;
using testing::read_file;
using testing::run_program;
using testing::run_tool;
using testing::ScratchDir;
using testing::write_file;
using testing::kHosts;
using testing::kUsage;
using testing::report_pattern;

TEST(EndToEndTest, UnreadableFileGivesOpenErrorReport) {
  if (!testing::running_as_root()) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  ScratchDir dir;
  const std::string hosts = dir.file("hosts");
  write_file(hosts, kHosts);
  fs::permissions(hosts, fs::perms::owner_read | fs::perms::owner_write);
  const auto result = run_tool({"/B", "a.com", hosts}, testing::as_nobody());
  ASSERT_EQ(result.output.substr(0, banner().size()), banner());
  EXPECT_TRUE(std::regex_match(result.output.substr(banner().size()),
                               report_pattern("EFOpenError", "Cannot open file " + hosts)))
      << result.output;
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(read_file(hosts), kHosts);
}

// A bind-mounted hosts file (as in a container) cannot be replaced by rename;
// the save then rewrites it in place.
TEST(EndToEndTest, BindMountedFileIsRewrittenInPlace) {
  if (!testing::running_as_root()) GTEST_SKIP() << "needs root for a private mount";
  ScratchDir dir;
  const std::string source = dir.file("source");
  const std::string hosts = dir.file("hosts");
  // Many pages, LF ends: every line moves when it gets its CR LF in place.
  std::string lf_text, crlf_text;
  for (int i = 0; i < 20000; ++i) {
    const std::string line = "0.0.0.0 host" + std::to_string(i) + ".example.net";
    lf_text += line + "\n";
    crlf_text += line + "\r\n";
  }
  write_file(source, lf_text);
  write_file(hosts, "");
  const std::string script = "mount --bind \"$1\" \"$2\" && exec \"$3\" /B a.com \"$2\"";
  const auto result = run_program({"unshare", "-m", "--propagation", "private", "sh", "-c", script,
                                   "sh", source, hosts, testing::tool_binary()});
  if (result.status != 0 && result.output.empty()) GTEST_SKIP() << "private mounts unavailable";
  const std::string saved = crlf_text + "127.0.0.1        A.COM\r\n";
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(read_file(source) == saved);
  EXPECT_EQ(result.output, banner() + "Entry added.\r\n");
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"hosts", "source"}));
}

// Standard output that refuses the banner ends the run before any edit.
TEST(EndToEndTest, UnwritableStandardOutputStopsBeforeTheEdit) {
  ScratchDir dir;
  const std::string hosts = dir.file("hosts");
  write_file(hosts, kHosts);
  for (const std::string redirect : {">/dev/full", ">&-"}) {
    const auto result = run_program(
        {"sh", "-c", "\"$0\" /B a.com \"$1\" " + redirect, testing::tool_binary(), hosts});
    EXPECT_EQ(result.status, 1) << redirect;
    EXPECT_EQ(read_file(hosts), kHosts) << redirect;
  }
}

// A console gets every line as it ends, a pipe gets 128-byte blocks; the bytes
// are the same.
TEST(EndToEndTest, ConsoleAndRedirectedOutputHaveTheSameBytes) {
  ScratchDir dir;
  const std::string hosts = dir.file("hosts");
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{}, {"/B", "a.com", hosts}, {"/U", "a.com", hosts}}) {
    write_file(hosts, kHosts);
    const auto piped = run_tool(arguments);
    write_file(hosts, kHosts);
    std::string command = "'" + testing::tool_binary() + "'";
    for (const std::string& a : arguments) command += " '" + a + "'";
    const auto console = run_program({"script", "-qec", "stty -onlcr; exec " + command, "/dev/null"});
    EXPECT_EQ(console.output, piped.output);
    EXPECT_EQ(console.status, piped.status);
  }
}

// A hosts file larger than the address space the tool may use.
TEST(EndToEndTest, OutOfMemoryIsReportedAndTheFileKept) {
#ifdef TARNWICK_SANITIZED
  GTEST_SKIP() << "the sanitizers need more address space than the limit leaves";
#endif
  ScratchDir dir;
  const std::string hosts = dir.file("hosts");
  const std::string line = "0.0.0.0 tracker.example.net\n";
  std::string content;
  while (content.size() < 96u << 20) content += line;
  write_file(hosts, content);
  const auto result = run_tool({"/B", "a.com", hosts}, {"prlimit", "--as=" + std::to_string(64 << 20)});
  ASSERT_EQ(result.output.substr(0, banner().size()), banner());
  EXPECT_TRUE(std::regex_match(result.output.substr(banner().size()),
                               report_pattern("EOutOfMemory", "Out of memory")))
      << result.output;
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(read_file(hosts) == content);
}

// Killed at any moment, a run leaves the old text or the new one, never less.
TEST(EndToEndTest, KilledRunsLeaveTheOldOrTheNewText) {
  ScratchDir dir;
  const std::string hosts = dir.file("hosts");
  std::string before, after;
  for (int i = 0; i < 100000; ++i) {  // about 4 MB, LF ends: every line is rewritten
    before += "0.0.0.0 tracker" + std::to_string(i) + ".example.net\n";
    after += "0.0.0.0 tracker" + std::to_string(i) + ".example.net\r\n";
  }
  after += "127.0.0.1        KILLED.EXAMPLE.COM\r\n";
  // How long a whole run takes here, to spread the kills over it.
  write_file(hosts, before);
  const auto started = std::chrono::steady_clock::now();
  testing::wait_program(testing::start_program({testing::tool_binary(), "/B", "killed.example.com", hosts}));
  const auto run_us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count();
  ASSERT_TRUE(read_file(hosts) == after);
  int killed = 0, old_text = 0, new_text = 0;
  constexpr int kKills = 60;
  for (int i = 0; i < kKills; ++i) {
    write_file(hosts, before);
    const int pid = testing::start_program({testing::tool_binary(), "/B", "killed.example.com", hosts});
    testing::pause_for(static_cast<int>(run_us * i / kKills));
    testing::kill_program(pid);
    if (testing::wait_program(pid) == 128 + 9) ++killed;
    const std::string now = read_file(hosts);
    ASSERT_TRUE(now == before || now == after) << "kill " << i << " left " << now.size() << " bytes";
    (now == before ? old_text : new_text)++;
    for (const std::string& name : dir.entries()) {
      if (name != "hosts") fs::remove(dir.file(name));  // a killed run's temporary file
    }
  }
  std::cout << "[   INFO   ] " << killed << " runs killed over " << run_us << " us: " << old_text
            << " left the old text, " << new_text << " the new one\n";
  EXPECT_GT(killed, kKills / 2);
}
}  // namespace
}  // namespace tarnwick
