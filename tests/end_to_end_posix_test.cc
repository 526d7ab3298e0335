// End-to-end cases that need POSIX tools: other users, private mounts,
// terminals, resource limits and signals.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

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

// `lines` hosts lines, LF-ended as written and CR LF-ended as saved.
struct Texts {
  std::string lf;
  std::string crlf;
};
Texts hosts_lines(int lines) {
  Texts texts;
  for (int i = 0; i < lines; ++i) {
    const std::string line = "0.0.0.0 tracker" + std::to_string(i) + ".example.net";
    texts.lf += line + "\n";
    texts.crlf += line + "\r\n";
  }
  return texts;
}

std::string entry(const std::string& name) { return "127.0.0.1        " + name + "\r\n"; }

// The ways a save goes: a temporary file renamed over the hosts file, a
// journalled rewrite in place (for a file with a second name), or, for a text
// already in its written form, a journalled append.
struct Route {
  const char* name;
  bool hard_link;
  bool written_form;

  const std::string& before(const Texts& texts) const { return written_form ? texts.crlf : texts.lf; }
};
const Route kRoutes[] = {{"rename", false, false}, {"in place", true, false}, {"append", false, true}};

std::vector<std::string> own_entries(const Route& route) {
  return route.hard_link ? std::vector<std::string>{"hosts", "link"} : std::vector<std::string>{"hosts"};
}

// What a killed run may leave beside the file, all of which the next run
// clears away: its lock file and its journal; its temporary file only when it
// died between naming it and renaming it.
bool only_repairable_leftovers(const ScratchDir& dir, const Route& route, bool naming) {
  for (const std::string& name : dir.entries()) {
    const auto own = own_entries(route);
    if (std::find(own.begin(), own.end(), name) != own.end()) continue;
    if (name != "hosts.tarnwick-lock" && name != "hosts.tarnwick-journal" &&
        !(naming && name == "hosts.tarnwick-new")) {
      return false;
    }
  }
  return true;
}

// Killed at any moment, a run leaves the old text or the new one, never less,
// and the next run clears away whatever it left.
TEST(EndToEndTest, KilledRunsLeaveTheOldOrTheNewText) {
  const Texts texts = hosts_lines(100000);  // about 4 MB, every line rewritten
  const std::string after = texts.crlf + entry("KILLED.EXAMPLE.COM");
  for (const Route& route : kRoutes) {
    ScratchDir dir;
    const std::string hosts = dir.file("hosts");
    write_file(hosts, route.before(texts));
    if (route.hard_link) fs::create_hard_link(hosts, dir.file("link"));
    // How long a whole run takes here, to spread the kills over it.
    const auto started = std::chrono::steady_clock::now();
    testing::wait_program(testing::start_program({testing::tool_binary(), "/B", "killed.example.com", hosts}));
    const auto run_us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(read_file(hosts) == after);
    int killed = 0, old_text = 0, new_text = 0;
    constexpr int kKills = 40;
    for (int i = 0; i < kKills; ++i) {
      write_file(hosts, route.before(texts));
      const int pid = testing::start_program({testing::tool_binary(), "/B", "killed.example.com", hosts});
      testing::pause_for(static_cast<int>(run_us * i / kKills));
      testing::kill_program(pid);
      if (testing::wait_program(pid) == 128 + 9) ++killed;
      EXPECT_TRUE(only_repairable_leftovers(dir, route, true)) << route.name << ", kill " << i;
      const auto next = run_tool({"/B", "next.example.com", hosts});
      EXPECT_EQ(next.status, 0);
      const std::string now = read_file(hosts);
      const bool was_old = now == texts.crlf + entry("NEXT.EXAMPLE.COM");
      ASSERT_TRUE(was_old || now == after + entry("NEXT.EXAMPLE.COM"))
          << route.name << ", kill " << i << " left " << now.size() << " bytes";
      (was_old ? old_text : new_text)++;
      EXPECT_EQ(dir.entries(), own_entries(route)) << route.name << ", kill " << i;
    }
    std::cout << "[   INFO   ] " << route.name << ": " << killed << " runs killed over " << run_us << " us: "
              << old_text << " left the old text, " << new_text << " the new one\n";
    EXPECT_GT(killed, kKills / 4);
  }
}

// A run killed on entry to each of its system calls in turn, from the first
// that reaches the hosts file's directory to its end.
TEST(EndToEndTest, RunsKilledAtEverySystemCallLeaveNothingTheNextRunCannotClear) {
  if (run_program({"strace", "-V"}).status != 0) GTEST_SKIP() << "needs strace";
  const Texts texts = hosts_lines(3000);
  const std::string after = texts.crlf + entry("KILLED.EXAMPLE.COM");
  for (const Route& route : kRoutes) {
    ScratchDir dir;
    const std::string hosts = dir.file("hosts");
    const std::string trace = dir.path() + ".trace";
    write_file(hosts, route.before(texts));
    if (route.hard_link) fs::create_hard_link(hosts, dir.file("link"));
    const std::vector<std::string> tool = {testing::tool_binary(), "/B", "killed.example.com", hosts};
    std::vector<std::string> traced = {"strace", "-f", "-qq", "-o", trace};
    traced.insert(traced.end(), tool.begin(), tool.end());
    ASSERT_EQ(run_program(traced).status, 0);
    // Each call as strace counts it: its name and how many of that name came before.
    std::vector<std::pair<std::string, int>> calls;
    std::map<std::string, int> seen;
    bool reached = false;
    std::istringstream lines(read_file(trace));
    fs::remove(trace);
    const std::regex call(R"(^[0-9]+ +([a-z0-9_]+)\()");
    for (std::string line; std::getline(lines, line);) {
      std::smatch match;
      if (!std::regex_search(line, match, call)) continue;
      const std::string name = match[1];
      const int occurrence = ++seen[name];
      reached = reached || line.find(dir.path()) != std::string::npos;
      if (reached && name != "exit_group") calls.emplace_back(name, occurrence);
    }
    ASSERT_GT(calls.size(), 20u);
    int killed = 0;
    for (const auto& [name, occurrence] : calls) {
      SCOPED_TRACE(std::string(route.name) + ", killed at " + name + " #" + std::to_string(occurrence));
      write_file(hosts, route.before(texts));
      std::vector<std::string> kill = {"strace", "-f", "-qq", "-o", "/dev/null", "-e",
                                       "inject=" + name + ":signal=KILL:when=" + std::to_string(occurrence)};
      kill.insert(kill.end(), tool.begin(), tool.end());
      if (run_program(kill).status == 128 + 9) ++killed;
      const std::string now = read_file(hosts);
      EXPECT_TRUE(now == route.before(texts) || now == after);
      EXPECT_TRUE(only_repairable_leftovers(dir, route, name == "renameat" || name == "rename"));
      EXPECT_EQ(run_tool({"/B", "next.example.com", hosts}).status, 0);
      const std::string repaired = read_file(hosts);
      EXPECT_TRUE(repaired == texts.crlf + entry("NEXT.EXAMPLE.COM") || repaired == after + entry("NEXT.EXAMPLE.COM"));
      EXPECT_EQ(dir.entries(), own_entries(route));
    }
    std::cout << "[   INFO   ] " << route.name << ": killed at " << killed << " of " << calls.size()
              << " system calls\n";
    EXPECT_GT(killed, static_cast<int>(calls.size()) / 2);
  }
}

// A container's hosts file is a bind mount, rewritten in place. A run killed
// halfway leaves its journal, and the next run starts from the old text.
TEST(EndToEndTest, BindMountedFileKilledMidRewriteIsRepairedByTheNextRun) {
  if (!testing::running_as_root()) GTEST_SKIP() << "needs root for a private mount";
  if (run_program({"strace", "-V"}).status != 0) GTEST_SKIP() << "needs strace";
  ScratchDir dir;
  const std::string source = dir.file("source");
  const std::string hosts = dir.file("hosts");
  const Texts texts = hosts_lines(50000);  // many staged pieces: killed at the second
  write_file(source, texts.lf);
  write_file(hosts, "");
  // Writes 1 and 2 are the journal's; 3 on are the file's.
  const std::string script =
      "mount --bind \"$1\" \"$2\" || exit 99\n"
      "strace -f -qq -o /dev/null -e inject=pwrite64:signal=KILL:when=4 \"$3\" /B killed.example.com \"$2\" >/dev/null\n"
      "ls \"$4\"\n"
      "\"$3\" /B next.example.com \"$2\" >/dev/null";
  const auto result = run_program({"unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh", source,
                                   hosts, testing::tool_binary(), dir.path()});
  if (result.status == 99) GTEST_SKIP() << "private mounts unavailable";
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.output.find("hosts.tarnwick-journal"), std::string::npos) << result.output;
  EXPECT_TRUE(read_file(source) == texts.crlf + entry("NEXT.EXAMPLE.COM"));
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"hosts", "source"}));
}

// Ctrl-C, a hang-up or a polite kill, wherever it arrives in a run on a large
// file: the old text or the new one, and nothing else beside it.
TEST(EndToEndTest, InterruptsWaitForTheSave) {
  const Texts texts = hosts_lines(2000000);  // 70 MB
  const std::string after = texts.crlf + entry("STOPPED.EXAMPLE.COM");
  for (const Route& route : kRoutes) {
    ScratchDir dir;
    const std::string hosts = dir.file("hosts");
    write_file(hosts, route.before(texts));
    if (route.hard_link) fs::create_hard_link(hosts, dir.file("link"));
    const std::vector<std::string> run = {"prlimit", "--core=0", testing::tool_binary(), "/B",
                                          "stopped.example.com", hosts};
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(testing::wait_program(testing::start_program(run)), 0);
    const auto run_us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count();
    int old_text = 0, new_text = 0;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
      for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(std::string(route.name) + ", signal " + std::to_string(signal) + ", time " + std::to_string(i));
        write_file(hosts, route.before(texts));
        const int pid = testing::start_program(run);
        testing::pause_for(static_cast<int>(run_us * i / 4));
        testing::signal_program(pid, signal);
        const int status = testing::wait_program(pid);
        EXPECT_TRUE(status == 0 || status == 128 + signal) << status;
        const std::string now = read_file(hosts);
        ASSERT_TRUE(now == route.before(texts) || now == after) << now.size() << " bytes";
        (now == route.before(texts) ? old_text : new_text)++;
        EXPECT_EQ(dir.entries(), own_entries(route));
      }
    }
    std::cout << "[   INFO   ] " << route.name << ": 16 runs of " << run_us << " us interrupted: " << old_text
              << " left the old text, " << new_text << " the new one\n";
  }
}

// A file-size limit makes the write fail, not the run: the failure is
// reported and the old text stays.
TEST(EndToEndTest, SizeLimitFailsTheSaveAndKeepsTheOldText) {
  const Texts texts = hosts_lines(20000);
  for (const Route& route : kRoutes) {
    SCOPED_TRACE(route.name);
    ScratchDir dir;
    const std::string hosts = dir.file("hosts");
    write_file(hosts, route.before(texts));
    if (route.hard_link) fs::create_hard_link(hosts, dir.file("link"));
    const auto result = run_tool({"/B", "a.com", hosts}, {"prlimit", "--fsize=" + std::to_string(route.before(texts).size() + 10)});
    const std::string head = banner() + "Entry added.\r\n";
    ASSERT_EQ(result.output.substr(0, head.size()), head);
    EXPECT_TRUE(std::regex_match(result.output.substr(head.size()), report_pattern("EWriteError", "Stream write error")))
        << result.output;
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(read_file(hosts) == route.before(texts));
    EXPECT_EQ(dir.entries(), own_entries(route));
  }
}

// The rename keeps what makes the file the same file to its users.
TEST(EndToEndTest, BlockKeepsAccessListAndExtendedAttributes) {
  if (run_program({"setfacl", "--version"}).status != 0 || run_program({"getfattr", "--version"}).status != 0) {
    GTEST_SKIP() << "needs setfacl and getfattr";
  }
  ScratchDir dir;
  const std::string hosts = dir.file("hosts");
  write_file(hosts, kHosts);
  fs::permissions(hosts, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_EQ(run_program({"setfacl", "-m", "u:nobody:rw", hosts}).status, 0);
  ASSERT_EQ(run_program({"setfattr", "-n", "user.origin", "-v", "blocklist", hosts}).status, 0);
  const auto metadata = [&] {
    return run_program({"getfacl", "-p", hosts}).output + run_program({"getfattr", "-d", "-m", "-", hosts}).output;
  };
  const std::string before = metadata();
  const auto mode_before = fs::status(hosts).permissions();
  ASSERT_NE(before.find("user:nobody:rw-"), std::string::npos);
  ASSERT_NE(before.find("user.origin=\"blocklist\""), std::string::npos);
  EXPECT_EQ(run_tool({"/B", "a.com", hosts}).status, 0);
  EXPECT_EQ(read_file(hosts), "127.0.0.1 localhost\r\n" + entry("A.COM"));
  EXPECT_EQ(metadata(), before);
  EXPECT_EQ(fs::status(hosts).permissions(), mode_before);
}

// Starts a program (behind `prefix`) that holds a `mode` ("-s" or "-x") lock on
// `path` until it is killed; returns once the lock is held.
int hold_lock(const std::string& path, const std::string& mode, std::vector<std::string> prefix) {
  prefix.insert(prefix.end(), {"sh", "-c", "exec 3<\"$1\" && flock " + mode + " 3 && exec sleep 60", "sh", path});
  const int pid = testing::start_program(prefix);
  while (run_program({"flock", "-n", "-x", path, "true"}).status == 0) testing::pause_for(10000);
  return pid;
}

// The lock runs share is a file only the hosts file's writers can open: a
// user who may read the hosts file, and so lock it, holds nobody up, also
// where they may put a lock file of their own in its place.
TEST(EndToEndTest, AReaderLockingTheFileHoldsNoRunUp) {
  if (!testing::running_as_root()) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  ScratchDir dir;
  fs::permissions(dir.path(), fs::perms::all | fs::perms::sticky_bit);
  const std::string hosts = dir.file("hosts");
  write_file(hosts, kHosts);
  std::vector<std::string> plant = testing::as_nobody();
  plant.insert(plant.end(), {"sh", "-c", "umask 077 && : > \"$1\"", "sh", hosts + ".tarnwick-lock"});
  ASSERT_EQ(run_program(plant).status, 0);
  const int pid = hold_lock(hosts, "-s", testing::as_nobody());
  const auto result = run_tool({"/B", "a.com", hosts}, {"timeout", "5"});
  testing::kill_program(pid);
  testing::wait_program(pid);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, banner() + "Entry added.\r\n");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"hosts"});
}

// Where no lock file can be made beside it, the file itself is locked, and
// waited for ten seconds at most.
TEST(EndToEndTest, WithoutALockFileTheFileIsWaitedForTenSecondsAtMost) {
  if (!testing::running_as_root()) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  ScratchDir dir;
  const std::string closed = dir.file("closed");
  fs::create_directory(closed);
  fs::permissions(closed, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
  const std::string hosts = closed + "/hosts";
  write_file(hosts, kHosts);
  ASSERT_EQ(run_program({"chown", "65534:65534", hosts}).status, 0);
  const int pid = hold_lock(hosts, "-x", {});
  std::vector<std::string> prefix = testing::as_nobody();
  prefix.insert(prefix.end(), {"timeout", "30"});
  const auto started = std::chrono::steady_clock::now();
  const auto result = run_tool({"/B", "a.com", hosts}, prefix);
  const auto waited = std::chrono::steady_clock::now() - started;
  testing::kill_program(pid);
  testing::wait_program(pid);
  ASSERT_EQ(result.output.substr(0, banner().size()), banner());
  EXPECT_TRUE(std::regex_match(result.output.substr(banner().size()), report_pattern("EFOpenError", "Cannot open file " + hosts)))
      << result.output;
  EXPECT_EQ(result.status, 1);
  EXPECT_GE(waited, std::chrono::seconds(9));
  EXPECT_LT(waited, std::chrono::seconds(15));
  EXPECT_EQ(read_file(hosts), kHosts);
  // Unheld, the same user's run goes on without a lock file or a journal.
  EXPECT_EQ(run_tool({"/B", "a.com", hosts}, testing::as_nobody()).status, 0);
  EXPECT_EQ(read_file(hosts), "127.0.0.1 localhost\r\n" + entry("A.COM"));
}

}  // namespace
}  // namespace tarnwick
