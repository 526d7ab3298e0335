// Runs the built tool as a user would and compares bytes and exit statuses.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>

#include "end_to_end.h"
#include "platform/platform.h"
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

// The file's number and last write, as the system keeps them.
platform::FileStamp stamp_of(const std::string& path) {
  platform::FileStamp stamp;
  const platform::Handle file = platform::open_for_reading(path.c_str());
  EXPECT_TRUE(file >= 0 && platform::stamp(file, stamp));
  if (file >= 0) platform::close(file);
  return stamp;
}

// A text already in its written form only grows: a block is appended to the
// same file, a run that changes nothing writes nothing, and a read-only file
// is refused all the same.
TEST(EndToEndTest, WrittenFormIsAppendedToAndNeverRewritten) {
  ScratchDir dir;
  const std::string hosts = dir.file("hosts");
  const std::string text = "127.0.0.1 localhost\r\n";
  const std::string entry = "127.0.0.1        ADS.EXAMPLE.COM\r\n";
  write_file(hosts, text);
  const platform::FileStamp before = stamp_of(hosts);
  EXPECT_EQ(run_tool({"/B", "ads.example.com", hosts}).output, banner() + "Entry added.\r\n");
  EXPECT_EQ(read_file(hosts), text + entry);
  const platform::FileStamp appended = stamp_of(hosts);
  EXPECT_EQ(appended.file, before.file);
  for (const char* mode : {"/B", "/U"}) {
    const auto result = run_tool({mode, mode[1] == 'B' ? "ads.example.com" : "absent.example.com", hosts});
    EXPECT_EQ(result.output, banner());
    EXPECT_TRUE(stamp_of(hosts) == appended) << mode;
  }
  fs::permissions(hosts, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const auto result = run_tool({"/B", "ads.example.com", hosts});
  ASSERT_EQ(result.output.substr(0, banner().size()), banner());
  EXPECT_TRUE(std::regex_match(result.output.substr(banner().size()),
                               report_pattern("EFCreateError", "Cannot create file " + hosts)))
      << result.output;
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"hosts"});
}

TEST(EndToEndTest, MissingFile) {
  ScratchDir dir;
  const std::string missing = dir.file("nothing");
  const auto result = run_tool({"/B", "a.com", missing});
  EXPECT_EQ(result.output, banner() + "Cannot load " + missing + " hosts file\r\n");
  EXPECT_EQ(result.status, 0);
  EXPECT_FALSE(fs::exists(missing));
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

struct ProbeCase {
  std::string fault;
  std::string pattern;  // of the whole output
  int status;
};

TEST(EndToEndTest, ProcessorFaultsAndEarlyRuntimeErrorsAreReported) {
  using testing::kProbeModule;
  const std::string head = " in module " + kProbeModule + " at [0-9A-F]{8}\\.\n";
  const std::string at = "[0-9A-F]{8,16}";
  const std::vector<ProbeCase> cases = {
      {"null-read", "Exception EAccessViolation" + head + "Access violation at address " + at + " in module '" +
                        kProbeModule + "'\\. Read of address 00000000\\.\r\n", 1},
      {"bad-write", "Exception EAccessViolation" + head + "Access violation at address " + at + " in module '" +
                        kProbeModule + "'\\. Write of address 00000010\\.\r\n", 1},
      {"divide-by-zero", "Exception EDivByZero" + head + "Division by zero\\.\r\n", 1},
      {"stack-overflow", "Exception EStackOverflow" + head + "Stack overflow\\.\r\n", 1},
      {"early-out-of-memory", "Runtime error 203 at [0-9A-F]{8}\r\n", 203},
#ifndef _WIN32  // Windows reads the file instead of mapping it
      // A mapped file that shrank under the program could not be read whole.
      {"mapped-file-shrunk", "Exception EReadError" + head + "Stream read error\\.\r\n", 1},
#endif
  };
  for (const ProbeCase& c : cases) {
    if (c.fault == "stack-overflow" && testing::running_under_wine()) continue;
    const auto result = run_program({testing::probe_binary(), c.fault});
    EXPECT_TRUE(std::regex_match(result.output, std::regex(c.pattern))) << c.fault << ": " << result.output;
    EXPECT_EQ(result.status, c.status) << c.fault;
  }
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
      pids.push_back(testing::start_program({testing::tool_binary(), mode, "parallel" + std::to_string(i) + ".example.com", hosts}));
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
