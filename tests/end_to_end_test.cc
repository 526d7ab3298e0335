// Runs the built tool as a user would and compares bytes and exit statuses;
// on POSIX also with resource limits, signals and system-call tracing.

#ifndef _WIN32
#include <sys/resource.h>
#endif

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
const std::string kEntry = entry("ADS.EXAMPLE.COM");
const std::string kNul("a\nb\0c\n", 6);

// A run's arguments ("@" is the hosts file's path), the file before (if any,
// and whether read-only), what it prints after the banner and then the
// failure report ("KIND text", which makes the exit status 1), and the file
// after.
struct Case { Args arguments; std::optional<std::string> before; bool read_only; std::string printed, report, after; };

// A run that changes nothing writes nothing.
TEST(EndToEndTest, RunsPrintWriteAndExitByteForByte) {
  std::vector<Case> cases;
  for (const auto& arguments : std::vector<Args>{
           {}, {"/Block", "a.com", "@"}, {"-B", "a.com", "@"}, {"/B", "a.com"}, {"/B", "a.com", "@", "extra"},
           {"/B", "a.com\nevil.com", "@"}, {"/U", "a.com\r", "@"}}) {
    cases.push_back({arguments, kHosts, false, kUsage, "", kHosts});
  }
  cases.insert(cases.end(), {
      {{"/b", "ads.Example.com", "@"}, "# hosts\n", false, kAdded, "", "# hosts\r\n" + kEntry},
      {{"/B", "", "ads.example.com", "@"}, kEntry, false, "", "", kEntry},  // "" is skipped
      {{"/B", "a.com", "@"}, "1.2.3.4 a.com", false, kAdded, "", "1.2.3.4 a.com\r\n" + entry("A.COM")},  // case counts
      {{"/B", "ads.com", "@"}, "0.0.0.0 XADS.COMX\n", false, "", "", "0.0.0.0 XADS.COMX\r\n"},
      {{"/B", "\xe9tz.a-z", "@"}, "x\r\n", false, kAdded, "", "x\r\n127.0.0.1        \xe9TZ.A-Z\r\n"},
      {{"/u", "ADS.example.COM", "@"}, "x\n" + kEntry, false, kRemoved, "", "x\r\n"},
      {{"/U", "a.com", "@"}, "127.0.0.1 A.COM\nx\n# A.COM\ny", false, kRemoved, "", "127.0.0.1 A.COM\r\nx\r\ny\r\n"},
      {{"/U", "a.com", "@"}, "A.COM\r\nb\r\n", false, kRemoved, "", "b\r\n"},
      {{"/U", "a.com", "@"}, "a.com\ny", false, "", "", "a.com\r\ny\r\n"},
      {{"/U", "a.com", "@"}, kEntry, false, "", "", kEntry},
      {{"/B", "a.com", "@"}, "", false, "", "", ""},
      {{"/B", "a.com", "@"}, std::nullopt, false, "Cannot load @ hosts file\r\n", "", ""},
      {{"/B", "a.com", "@*"}, kHosts, false, "", "EFOpenError Cannot open file @*", kHosts},
      {{"/B", "a.com", "@"}, kNul, false, "", "EReadError Cannot read file @: it holds a NUL byte", kNul},
      {{"/B", "a.com", "@"}, kHosts, true, kAdded, "EFCreateError Cannot create file @", kHosts},
      {{"/B", "ads.example.com", "@"}, kEntry, true, "", "EFCreateError Cannot create file @", kEntry},
  });
  for (const Case& c : cases) {
    ScratchDir dir;
    const std::string hosts = dir.file("my hosts");
    if (c.before) write_file(hosts, *c.before);
    if (c.read_only) fs::permissions(hosts, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const platform::FileStamp before = c.before ? stamp_of(hosts) : platform::FileStamp{};
    const auto with_path = [&](std::string text) {  // "@" stands for the path
      for (std::size_t at; (at = text.find('@')) != text.npos;) text.replace(at, 1, hosts);
      return text;
    };
    Args argv = {tool()};
    for (const std::string& argument : c.arguments) argv.push_back(with_path(argument));
    SCOPED_TRACE(::testing::PrintToString(argv) + " on " + ::testing::PrintToString(c.before.value_or("nothing")));
    expect_run(run(argv), hosts, {with_path(c.printed), with_path(c.report), c.after, c.before ? Args{"my hosts"} : Args{}});
    EXPECT_TRUE(c.before != c.after || stamp_of(hosts) == before) << "a run that changes nothing wrote";
  }
}

// The probe faults while it holds a file's run lock, as a run would.
TEST(EndToEndTest, FaultsAreReportedAndTheRunsFilesRemoved) {
  const std::string module = std::regex_replace(fs::path(probe()).filename().string(), std::regex("\\."), "\\.");
  const std::string head = " in module " + module + " at [0-9A-F]{8}\\.\n";
  const std::string violation =
      "Exception EAccessViolation" + head + "Access violation at address [0-9A-F]{8,16} in module '" + module + "'\\. ";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"null-read", violation + "Read of address 00000000\\.\r\n"},
      {"bad-write", violation + "Write of address 00000010\\.\r\n"},
      {"divide-by-zero", "Exception EDivByZero" + head + "Division by zero\\.\r\n"},
      {"early-out-of-memory", "Runtime error 203 at [0-9A-F]{8}\r\n"},
#ifndef _WIN32  // Wine cannot hand a stack overflow over; Windows reads the file instead of mapping it
      {"stack-overflow", "Exception EStackOverflow" + head + "Stack overflow\\.\r\n"},
      // A mapped file that shrank under the program could not be read whole.
      {"mapped-file-shrunk", "Exception EReadError" + head + "Stream read error\\.\r\n"},
#endif
  };
  for (const auto& [fault, pattern] : cases) {
    ScratchDir dir;
    write_file(dir.file("hosts"), kHosts);
    const RunResult result = run({probe(), fault, dir.file("hosts")});
    EXPECT_TRUE(std::regex_match(result.output, std::regex(pattern))) << fault << ": " << ::testing::PrintToString(result.output);
    EXPECT_EQ(result.status, fault == "early-out-of-memory" ? 203 : 1) << fault;
    EXPECT_EQ(dir.entries(), Args{"hosts"}) << fault;
  }
}

#ifndef _WIN32
const std::string kBlocked = "127.0.0.1 localhost\r\n127.0.0.1        A.COM\r\n";

// Output whose reader has gone fails like any other, and the run ends as the
// tool's own: the usage screen fills the buffer and fails at once; a block's
// two lines fail only at the final write-out, which is never reported.
TEST(EndToEndPosixTest, OutputWhoseReaderHasGone) {
  ScratchDir dir;
  write_file(dir.file("hosts"), kHosts);
  for (const auto& [arguments, status] : std::vector<std::pair<Args, int>>{{{}, 1}, {{"/B", "a.com", dir.file("hosts")}, 0}}) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    close(pipe_fds[0]);
    const int pid = start(Args{tool()} + arguments, pipe_fds[1]);
    close(pipe_fds[1]);
    EXPECT_EQ(finish(pid), status);
  }
  EXPECT_EQ(read_file(dir.file("hosts")), kBlocked);
}

// A file-size limit makes the write fail, and an address-space limit the
// load, not the run: the failure is reported and the old text stays. So do
// limits met while the run makes the files it keeps beside the file, with
// the journal needed for the file's other name: open files (the run is
// killed if it writes to the file at all, as one written in place without a
// journal would be), and a disk with no room; then the next run finds the
// old text.
TEST(EndToEndPosixTest, LimitsFailTheRunAndKeepTheOldText) {
  struct Case { Route route; Args limit; std::string printed, report; };
  const std::string kWriteFailed = "EWriteError Stream write error", kNotMade = "EFCreateError Cannot create file ";
  const Args kill_if_written = stopped_at("pwrite64", 1);
  std::vector<Case> cases = {
      {kRoutes[0], {"prlimit", "--fsize=#"}, kAdded, kWriteFailed},
      {kRoutes[1], {"prlimit", "--fsize=#"}, kAdded, kNotMade},  // the journal, before the file
      {kRoutes[2], {"prlimit", "--fsize=#"}, kAdded, kWriteFailed},
      {kRoutes[0], {"prlimit", "--as=8388608"}, "", "EOutOfMemory Out of memory"},
  };
#ifdef TARNWICK_SANITIZED  // the sanitizers need more address space than the limit leaves
  std::erase_if(cases, [](const Case& c) { return c.limit.back().starts_with("--as"); });
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.route.name) + " " + c.limit.back());
    ScratchDir dir;
    const bool memory = c.limit.back().starts_with("--as");
    const Hosts h = make_hosts(dir.path(), c.route, memory ? 300000 : 20000);
    Args limit = c.limit;
    if (limit.back().ends_with("#")) limit.back().replace(limit.back().size() - 1, 1, std::to_string(h.before.size() + 10));
    expect_run(run(limit + Args{tool(), "/B", "a.com", h.path}), h.path,
               {c.printed, c.report.ends_with(" ") ? c.report + h.path : c.report, h.before, h.entries});
  }
#ifndef TARNWICK_SANITIZED  // the sanitizers open files of their own
  // Fewer and fewer files: each limit fails the load, or the temporary file,
  // or leaves enough for the run.
  std::set<std::string> failures;
  for (int files = 12; files >= 4; --files) {
    SCOPED_TRACE(std::to_string(files) + " files");
    ScratchDir dir;
    const Hosts h = make_hosts(dir.path(), kRoutes[0], 20000);
    const RunResult result = run(kill_if_written + Args{"prlimit", "--nofile=" + std::to_string(files), tool(), "/B", "killed.example.com", h.path});
    const bool made = is_report(result.output, kAdded) && result.status == 0;
    const bool not_made = is_report(result.output, kAdded, kNotMade + h.path) && result.status == 1;
    const bool not_read = is_report(result.output, "", "EFOpenError Cannot open file " + h.path) && result.status == 1;
    EXPECT_TRUE(made || not_made || not_read) << result.status << ::testing::PrintToString(result.output);
    EXPECT_TRUE(read_file(h.path) == (made ? h.after : h.before));
    EXPECT_EQ(dir.entries(), h.entries);
    if (!made) failures.insert(not_made ? "temporary" : "load");
  }
  EXPECT_TRUE(failures.count("temporary")) << "no limit stopped the temporary file";
#endif
  // Locks the system has run out of, on a file system that keeps them: the
  // run does not go on without one.
  if (have("strace")) {
    ScratchDir dir;
    const Hosts h = make_hosts(dir.path(), kRoutes[1], 200);
    const Args argv = {tool(), "/B", "a.com", h.path};
    int lock = 0;
    for (const TracedCall& call : traced_calls(argv, dir.path())) {
      if (lock == 0 && call.line.find("F_OFD_SETLK") != std::string::npos) lock = call.occurrence;
    }
    ASSERT_NE(lock, 0);
    write_file(h.path, h.before);  // which the traced run edited
    expect_run(run(Args{"strace", "-f", "-qq", "-o", "/dev/null", "-e", "inject=fcntl:error=ENOLCK:when=" + std::to_string(lock)} + argv),
               h.path, {"", "EFOpenError Cannot open file " + h.path, h.before, h.entries});
  }
  // A disk with no room for the journal of a file with two names.
  ScratchDir dir;
  if (!private_mounts()) return;
  ASSERT_EQ(::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=256k"), 0);
  const Hosts h = make_hosts(dir.path(), kRoutes[1], 2000);
  write_file(dir.file("filler"), std::string(256 << 10, 'f'));  // as much as fits
  expect_run(run({tool(), "/B", "a.com", h.path}), h.path, {kAdded, kNotMade + h.path, h.before, Args{"filler"} + h.entries});
  fs::remove(dir.file("filler"));
  EXPECT_EQ(run({tool(), "/B", "a.com", h.next}).status, 0);
  EXPECT_TRUE(read_file(h.path) == h.written + entry("A.COM"));
  umount2(dir.path().c_str(), MNT_DETACH);
}

#endif

}  // namespace
}  // namespace tarnwick
