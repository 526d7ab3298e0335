// Runs the built tool as a user would and compares bytes and exit statuses.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>

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

const std::string kUsage =
    "USAGE: tarnwick [/B|/U] FQDN hosts_file\r\n"
    "\r\n"
    "   /B   - Block\r\n"
    "   /U   - Unblock\r\n"
    "   FQDN - DNS address to block / unblock.  eg. ads.example.com\r\n"
    "   hosts_file is the full path to your system hosts file.\r\n"
    "              usually %SYSTEMROOT%\\system32\\drivers\\etc\\hosts\r\n"
    "\r\n";

const std::string kHosts = "127.0.0.1 localhost\n";

TEST(EndToEndTest, InvalidRequestsShowTheUsageScreenAndTouchNothing) {
  ScratchDir dir;
  const std::string hosts = dir.file("hosts");
  write_file(hosts, kHosts);
  const std::vector<std::vector<std::string>> requests = {
      {},
      {"/Block", "a.com", hosts},
      {"-B", "a.com", hosts},
      {"/?", "a.com", hosts},
      {"/B", "a.com"},
      {"/B", "a.com", hosts, "extra"},
      {"/B", "a.com\nevil.com", hosts},
      {"/U", "a.com\r", hosts},
  };
  for (const auto& request : requests) {
    const auto result = run_tool(request);
    EXPECT_EQ(result.output, banner() + kUsage);
    EXPECT_EQ(result.status, 0);
  }
  EXPECT_EQ(read_file(hosts), kHosts);
}

TEST(EndToEndTest, BlockAndUnblockByteForByte) {
  ScratchDir dir;
  const std::string hosts = dir.file("my hosts");
  write_file(hosts, kHosts);
  const std::string entry = "127.0.0.1        ADS.EXAMPLE.COM\r\n";
  struct Step {
    std::vector<std::string> arguments;
    std::string printed;
    std::string file;
  };
  const std::vector<Step> steps = {
      {{"/b", "ads.example.com", hosts}, "Entry added.\r\n", "127.0.0.1 localhost\r\n" + entry},
      {{"/B", "", "ads.example.com", hosts}, "", "127.0.0.1 localhost\r\n" + entry},  // "" is skipped
      {{"/u", "ADS.example.COM", hosts}, "Entry removed\r\n", "127.0.0.1 localhost\r\n"},
      {{"/U", "ads.example.com", hosts}, "", "127.0.0.1 localhost\r\n"},
  };
  for (const Step& step : steps) {
    const auto result = run_tool(step.arguments);
    EXPECT_EQ(result.output, banner() + step.printed);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(hosts), step.file);
  }
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"my hosts"});
}

TEST(EndToEndTest, MissingFile) {
  ScratchDir dir;
  const std::string missing = dir.file("nothing");
  const auto result = run_tool({"/B", "a.com", missing});
  EXPECT_EQ(result.output, banner() + "Cannot load " + missing + " hosts file\r\n");
  EXPECT_EQ(result.status, 0);
  EXPECT_FALSE(fs::exists(missing));
}

// "Exception KIND in module tarnwick at XXXXXXXX." LF TEXT "." CR LF
std::regex report_pattern(const std::string& kind, const std::string& text) {
  const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex("Exception " + kind + " in module tarnwick at [0-9A-F]{8}\\.\n" +
                    std::regex_replace(text, special, R"(\$&)") + "\\.\r\n");
}

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

TEST(EndToEndTest, ReadOnlyFileGivesCreateErrorReportAfterTheMessage) {
  ScratchDir dir;
  const std::string hosts = dir.file("hosts");
  write_file(hosts, kHosts);
  fs::permissions(hosts, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const auto result = run_tool({"/B", "a.com", hosts});
  const std::string head = banner() + "Entry added.\r\n";
  ASSERT_EQ(result.output.substr(0, head.size()), head);
  EXPECT_TRUE(std::regex_match(result.output.substr(head.size()),
                               report_pattern("EFCreateError", "Cannot create file " + hosts)))
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
  const std::string script = "mount --bind \"$1\" \"$2\" && \"$3\" /B a.com \"$2\" && cat \"$2\" | md5sum";
  const auto result = run_program({"unshare", "-m", "--propagation", "private", "sh", "-c", script,
                                   "sh", source, hosts, TARNWICK_BINARY});
  if (result.status != 0 && result.output.empty()) GTEST_SKIP() << "private mounts unavailable";
  const std::string saved = crlf_text + "127.0.0.1        A.COM\r\n";
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(read_file(source) == saved);
  EXPECT_EQ(result.output.substr(0, banner().size() + 14), banner() + "Entry added.\r\n");
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"hosts", "source"}));
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

// Standard output that refuses the banner ends the run before any edit.
TEST(EndToEndTest, UnwritableStandardOutputStopsBeforeTheEdit) {
  ScratchDir dir;
  const std::string hosts = dir.file("hosts");
  write_file(hosts, kHosts);
  for (const std::string redirect : {">/dev/full", ">&-"}) {
    const auto result = run_program(
        {"sh", "-c", "\"$0\" /B a.com \"$1\" " + redirect, TARNWICK_BINARY, hosts});
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
    std::string command = "'" + std::string(TARNWICK_BINARY) + "'";
    for (const std::string& a : arguments) command += " '" + a + "'";
    const auto console = run_program({"script", "-qec", "stty -onlcr; exec " + command, "/dev/null"});
    EXPECT_EQ(console.output, piped.output);
    EXPECT_EQ(console.status, piped.status);
  }
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

struct ProbeCase {
  std::string fault;
  std::string pattern;  // of the whole output
  int status;
};

TEST(EndToEndTest, ProcessorFaultsAndEarlyRuntimeErrorsAreReported) {
  const std::string at = "[0-9A-F]{8,16}";
  const std::vector<ProbeCase> cases = {
      {"null-read", "Exception EAccessViolation in module fault_probe at [0-9A-F]{8}\\.\nAccess violation at address " +
           at + " in module 'fault_probe'\\. Read of address 00000000\\.\r\n", 1},
      {"bad-write", "Exception EAccessViolation in module fault_probe at [0-9A-F]{8}\\.\nAccess violation at address " +
           at + " in module 'fault_probe'\\. Write of address 00000010\\.\r\n", 1},
      {"divide-by-zero", "Exception EDivByZero in module fault_probe at [0-9A-F]{8}\\.\nDivision by zero\\.\r\n", 1},
      {"stack-overflow", "Exception EStackOverflow in module fault_probe at [0-9A-F]{8}\\.\nStack overflow\\.\r\n", 1},
      {"early-out-of-memory", "Runtime error 203 at [0-9A-F]{8}\r\n", 203},
  };
  for (const ProbeCase& c : cases) {
    const auto result = run_program({FAULT_PROBE, c.fault});
    EXPECT_TRUE(std::regex_match(result.output, std::regex(c.pattern))) << c.fault << ": " << result.output;
    EXPECT_EQ(result.status, c.status) << c.fault;
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
  EXPECT_TRUE(std::regex_match(result.output, std::regex(std::regex_replace(banner(), std::regex("[.]"), "\\.") +
                                                          "Exception EOutOfMemory in module tarnwick at [0-9A-F]{8}\\.\n"
                                                          "Out of memory\\.\r\n")))
      << result.output;
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(read_file(hosts) == content);
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

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
  testing::wait_program(testing::start_program({TARNWICK_BINARY, "/B", "killed.example.com", hosts}));
  const auto run_us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count();
  ASSERT_TRUE(read_file(hosts) == after);
  int killed = 0, old_text = 0, new_text = 0;
  constexpr int kKills = 60;
  for (int i = 0; i < kKills; ++i) {
    write_file(hosts, before);
    const int pid = testing::start_program({TARNWICK_BINARY, "/B", "killed.example.com", hosts});
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

// Overlapping runs take turns: none loses another's edit.
TEST(EndToEndTest, ParallelRunsKeepEveryEdit) {
  ScratchDir dir;
  const std::string hosts = dir.file("hosts");
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "0.0.0.0 tracker" + std::to_string(i) + ".example.net\r\n";
  write_file(hosts, text);
  constexpr int kRuns = 16;
  for (const std::string mode : {"/B", "/U"}) {
    std::vector<int> pids;
    for (int i = 0; i < kRuns; ++i) {
      pids.push_back(testing::start_program({TARNWICK_BINARY, mode, "parallel" + std::to_string(i) + ".example.com", hosts}));
    }
    for (int pid : pids) EXPECT_EQ(testing::wait_program(pid), 0);
    const std::string now = read_file(hosts);
    int kept = 0;
    for (int i = 0; i < kRuns; ++i) {
      kept += now.find("127.0.0.1        PARALLEL" + std::to_string(i) + ".EXAMPLE.COM\r\n") != std::string::npos;
    }
    std::cout << "[   INFO   ] after " << kRuns << " parallel " << mode << ": " << kept << " entries\n";
    EXPECT_EQ(kept, mode == "/B" ? kRuns : 0);
  }
  EXPECT_TRUE(read_file(hosts) == text);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"hosts"});
}

}  // namespace
}  // namespace tarnwick
