// Runs the built tool as a user would and compares bytes and exit statuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <regex>

#include "platform/platform.h"
#include "test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using namespace testing;

const std::string kUsage =
    "USAGE: tarnwick [/B|/U] FQDN hosts_file\r\n\r\n   /B   - Block\r\n   /U   - Unblock\r\n"
    "   FQDN - DNS address to block / unblock.  eg. ads.example.com\r\n"
    "   hosts_file is the full path to your system hosts file.\r\n"
    "              usually %SYSTEMROOT%\\system32\\drivers\\etc\\hosts\r\n\r\n";
const std::string kHosts = "127.0.0.1 localhost\n";
const std::string kAdded = "Entry added.\r\n";
const std::string kRemoved = "Entry removed\r\n";
const std::string kEntry = "127.0.0.1        ADS.EXAMPLE.COM\r\n";
const std::string kNul("a\nb\0c\n", 6);

// `text` with every "@" standing for `path`.
std::string with_path(std::string text, const std::string& path) {
  for (std::size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, path);
  return text;
}

struct Case {
  std::vector<std::string> arguments;  // "@" is the hosts file's path
  std::optional<std::string> before;   // the file, if there is one
  bool read_only;
  std::string printed;  // after the banner
  std::string report;   // "KIND text" of the failure report after that, if any
  std::optional<std::string> after;
  int status;
};

platform::FileStamp stamp_of(const std::string& path) {
  platform::FileStamp stamp;
  const platform::Handle file = platform::open_for_reading(path.c_str());
  EXPECT_TRUE(file >= 0 && platform::stamp(file, stamp));
  if (file >= 0) platform::close(file);
  return stamp;
}

// A run that changes nothing writes nothing, and a text already in its
// written form is only appended to, in the same file.
TEST(EndToEndTest, RunsPrintWriteAndExitByteForByte) {
  std::vector<Case> cases;
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {}, {"/Block", "a.com", "@"}, {"-B", "a.com", "@"}, {"/?", "a.com", "@"}, {"/B", "a.com"},
           {"/B", "a.com", "@", "extra"}, {"/B", "a.com\nevil.com", "@"}, {"/U", "a.com\r", "@"}}) {
    cases.push_back({arguments, kHosts, false, kUsage, "", kHosts, 0});
  }
  cases.insert(cases.end(), {
      {{"/b", "ads.Example.com", "@"}, "# hosts\n", false, kAdded, "", "# hosts\r\n" + kEntry, 0},
      {{"/B", "", "ads.example.com", "@"}, kEntry, false, "", "", kEntry, 0},  // "" is skipped
      {{"/B", "ads.example.com", "@"}, "1.2.3.4 ads.example.com", false, kAdded, "",
       "1.2.3.4 ads.example.com\r\n" + kEntry, 0},  // lower case is no match
      {{"/B", "ads.com", "@"}, "0.0.0.0 XADS.COMX\n", false, "", "", "0.0.0.0 XADS.COMX\r\n", 0},
      {{"/B", "\xe9tz.a-z", "@"}, "x\r\n", false, kAdded, "", "x\r\n127.0.0.1        \xe9TZ.A-Z\r\n", 0},
      {{"/u", "ADS.example.COM", "@"}, "x\n" + kEntry, false, kRemoved, "", "x\r\n", 0},
      {{"/U", "a.com", "@"}, "127.0.0.1 A.COM\nx\n# A.COM\ny", false, kRemoved, "", "127.0.0.1 A.COM\r\nx\r\ny\r\n", 0},
      {{"/U", "a.com", "@"}, "A.COM\r\nb\r\n", false, kRemoved, "", "b\r\n", 0},
      {{"/U", "a.com", "@"}, "x\ny", false, "", "", "x\r\ny\r\n", 0},
      {{"/U", "a.com", "@"}, "a.com\n", false, "", "", "a.com\r\n", 0},
      {{"/U", "a.com", "@"}, kEntry, false, "", "", kEntry, 0},
      {{"/B", "a.com", "@"}, "", false, "", "", "", 0},
      {{"/B", "a.com", "@"}, std::nullopt, false, "Cannot load @ hosts file\r\n", "", std::nullopt, 0},
      {{"/B", "a.com", "@*"}, kHosts, false, "", "EFOpenError Cannot open file @*", kHosts, 1},
      {{"/B", "a.com", "@"}, kNul, false, "", "EReadError Cannot read file @: it holds a NUL byte", kNul, 1},
      {{"/B", "a.com", "@"}, kHosts, true, kAdded, "EFCreateError Cannot create file @", kHosts, 1},
      {{"/B", "ads.example.com", "@"}, kEntry, true, "", "EFCreateError Cannot create file @", kEntry, 1},
  });
  for (const Case& c : cases) {
    ScratchDir dir;
    const std::string hosts = dir.file("my hosts");
    if (c.before) write_file(hosts, *c.before);
    if (c.read_only) fs::permissions(hosts, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const platform::FileStamp before = c.before ? stamp_of(hosts) : platform::FileStamp{};
    std::vector<std::string> argv = {tool()};
    for (const std::string& argument : c.arguments) argv.push_back(with_path(argument, hosts));
    SCOPED_TRACE(::testing::PrintToString(argv) + " on " + ::testing::PrintToString(c.before.value_or("nothing")));
    const RunResult result = run(argv);
    const std::string printed = with_path(c.printed, hosts);
    const std::string report = with_path(c.report, hosts);
    const std::size_t blank = report.find(' ');
    EXPECT_TRUE(report.empty() ? result.output == banner() + printed
                               : is_report(result.output, printed, report.substr(0, blank), report.substr(blank + 1)))
        << result.output;
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(read_file(hosts), c.after.value_or(""));
    EXPECT_EQ(dir.entries(), c.after ? std::vector<std::string>{"my hosts"} : std::vector<std::string>{});
    if (c.before && c.after && c.after->starts_with(*c.before) && (c.after == c.before || c.before->ends_with("\r\n"))) {
      const platform::FileStamp after = stamp_of(hosts);
      EXPECT_EQ(after.file, before.file);
      EXPECT_TRUE(after == before || c.after != c.before);
    }
  }
}

// The probe faults while it holds a file's run lock, as a run would.
TEST(EndToEndTest, FaultsAreReportedAndTheRunsFilesRemoved) {
#ifdef _WIN32
  const std::string module = "fault_probe\\.exe";
#else
  const std::string module = "fault_probe";
#endif
  const std::string head = " in module " + module + " at [0-9A-F]{8}\\.\n";
  const std::string violation = "Exception EAccessViolation" + head + "Access violation at address [0-9A-F]{8,16} in module '" + module + "'\\. ";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"null-read", violation + "Read of address 00000000\\.\r\n"},
      {"bad-write", violation + "Write of address 00000010\\.\r\n"},
      {"divide-by-zero", "Exception EDivByZero" + head + "Division by zero\\.\r\n"},
      {"stack-overflow", "Exception EStackOverflow" + head + "Stack overflow\\.\r\n"},
      {"early-out-of-memory", "Runtime error 203 at [0-9A-F]{8}\r\n"},
#ifndef _WIN32  // Windows reads the file instead of mapping it
      // A mapped file that shrank under the program could not be read whole.
      {"mapped-file-shrunk", "Exception EReadError" + head + "Stream read error\\.\r\n"},
#endif
  };
  for (const auto& [fault, pattern] : cases) {
#ifdef _WIN32
    if (fault == "stack-overflow" && running_under_wine()) continue;  // Wine cannot hand it over
#endif
    ScratchDir dir;
    write_file(dir.file("hosts"), kHosts);
    const RunResult result = run({probe(), fault, dir.file("hosts")});
    EXPECT_TRUE(std::regex_match(result.output, std::regex(pattern))) << fault << ": " << result.output;
    EXPECT_EQ(result.status, fault == "early-out-of-memory" ? 203 : 1) << fault;
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"hosts"}) << fault;
  }
}

// Overlapping runs take turns: none loses another's edit.
TEST(EndToEndTest, ParallelRunsKeepEveryEdit) {
  ScratchDir dir;
  const std::string hosts = dir.file("hosts");
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "0.0.0.0 tracker" + std::to_string(i) + ".example.net\r\n";
  write_file(hosts, text);
  constexpr int kRuns = 16;
  for (const std::string mode : {"/B", "/U"}) {
    std::vector<int> pids;
    for (int i = 0; i < kRuns; ++i) pids.push_back(start({tool(), mode, "parallel" + std::to_string(i) + ".example.com", hosts}));
    for (int pid : pids) EXPECT_EQ(finish(pid), 0);
    const std::string now = read_file(hosts);
    for (int i = 0; i < kRuns; ++i) {
      const bool kept = now.find("127.0.0.1        PARALLEL" + std::to_string(i) + ".EXAMPLE.COM\r\n") != std::string::npos;
      EXPECT_EQ(kept, mode == "/B") << mode << " " << i;
    }
  }
  EXPECT_TRUE(read_file(hosts) == text);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"hosts"});
}

}  // namespace
}  // namespace tarnwick
