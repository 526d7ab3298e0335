// End-to-end cases that need POSIX tools: other users, private mounts,
// resource limits, signals and system-call tracing.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using namespace testing;
using std::chrono::steady_clock;

const std::string kHosts = "127.0.0.1 localhost\n";
const std::vector<std::string> kAsNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

std::string entry(const std::string& name) { return "127.0.0.1        " + name + "\r\n"; }
bool have(const std::string& program) { return run({program, "--version"}).status == 0; }

std::vector<std::string> operator+(std::vector<std::string> prefix, const std::vector<std::string>& more) {
  prefix.insert(prefix.end(), more.begin(), more.end());
  return prefix;
}

// Output that refuses the banner ends the run before any edit. Output whose
// reader has gone fails like any other, and the run ends as the tool's own.
TEST(EndToEndPosixTest, FailingStandardOutput) {
  ScratchDir dir;
  const std::string hosts = dir.file("hosts");
  for (const std::string redirect : {">/dev/full", ">&-"}) {
    write_file(hosts, kHosts);
    EXPECT_EQ(run({"sh", "-c", "\"$0\" /B a.com \"$1\" " + redirect, tool(), hosts}).status, 1) << redirect;
    EXPECT_EQ(read_file(hosts), kHosts) << redirect;
  }
  // The usage screen fills the buffer and fails at once; a block's two
  // lines fail only at the final write-out, which is never reported.
  for (const auto& [arguments, status] : std::vector<std::pair<std::vector<std::string>, int>>{
           {{}, 1}, {{"/B", "a.com", hosts}, 0}}) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    close(pipe_fds[0]);
    const int pid = start(std::vector<std::string>{tool()} + arguments, pipe_fds[1]);
    close(pipe_fds[1]);
    EXPECT_EQ(finish(pid), status);
  }
  EXPECT_EQ(read_file(hosts), "127.0.0.1 localhost\r\n" + entry("A.COM"));
}

// The ways a save goes: a temporary file renamed over the hosts file, a
// journalled rewrite in place (for a file with a second name), or, for a text
// already in its written form, a journalled append.
struct Route {
  const char* name;
  bool hard_link;
  bool written_form;
};
const Route kRoutes[] = {{"rename", false, false}, {"in place", true, false}, {"append", false, true}};

// A hosts file of `lines` lines, ready for `route`.
struct Hosts {
  std::string path, before, crlf;
  std::vector<std::string> entries;  // the directory's
  std::string after(const std::string& name) const { return crlf + entry(name); }
};
Hosts make_hosts(const ScratchDir& dir, const Route& route, int lines) {
  Hosts h{dir.file("hosts"), "", "", {"hosts"}};
  for (int i = 0; i < lines; ++i) {
    const std::string line = "0.0.0.0 tracker" + std::to_string(i) + ".example.net";
    h.before += line + (route.written_form ? "\r\n" : "\n");
    h.crlf += line + "\r\n";
  }
  write_file(h.path, h.before);
  if (route.hard_link) fs::create_hard_link(h.path, dir.file("link"));
  if (route.hard_link) h.entries.push_back("link");
  return h;
}

// A file-size limit makes the write fail, and an address-space limit the
// load, not the run: the failure is reported and the old text stays.
TEST(EndToEndPosixTest, LimitsFailTheRunAndKeepTheOldText) {
  for (const Route& route : kRoutes) {
    SCOPED_TRACE(route.name);
    ScratchDir dir;
    const Hosts h = make_hosts(dir, route, 20000);
    const RunResult result = run({"prlimit", "--fsize=" + std::to_string(h.before.size() + 10), tool(), "/B", "a.com", h.path});
    EXPECT_TRUE(is_report(result.output, "Entry added.\r\n", "EWriteError", "Stream write error")) << result.output;
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(read_file(h.path) == h.before);
    EXPECT_EQ(dir.entries(), h.entries);
  }
#ifndef TARNWICK_SANITIZED  // the sanitizers need more address space than the limit leaves
  ScratchDir dir;
  const Hosts h = make_hosts(dir, kRoutes[0], 600000);
  const RunResult result = run({"prlimit", "--as=" + std::to_string(16 << 20), tool(), "/B", "a.com", h.path});
  EXPECT_TRUE(is_report(result.output, "", "EOutOfMemory", "Out of memory")) << result.output;
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(read_file(h.path) == h.before);
#endif
}

// What a killed run may leave beside the file is its lock file, its journal
// and, killed between naming it and renaming it, its temporary file: the next
// run clears all of it away and starts from the old text or the new one.
void expect_repaired(const ScratchDir& dir, const Hosts& h) {
  for (const std::string& name : dir.entries()) {
    EXPECT_TRUE(std::count(h.entries.begin(), h.entries.end(), name) || name == "hosts.tarnwick-lock" ||
                name == "hosts.tarnwick-journal" || name == "hosts.tarnwick-new")
        << name;
  }
  EXPECT_EQ(run({tool(), "/B", "next.example.com", h.path}).status, 0);
  const std::string now = read_file(h.path);
  EXPECT_TRUE(now == h.crlf + entry("NEXT.EXAMPLE.COM") || now == h.after("KILLED.EXAMPLE.COM") + entry("NEXT.EXAMPLE.COM"))
      << now.size() << " bytes";
  EXPECT_EQ(dir.entries(), h.entries);
}

// Each call of a run that changes what is on disk, as strace counts it: its
// name, how many of that name came before, whether the run held its lock,
// and whether its save had begun, holding interrupts.
struct Point {
  std::string name;
  int occurrence;
  bool locked, saving;
};
std::vector<Point> points_of(const std::vector<std::string>& argv, const std::string& dir) {
  const std::string trace = dir + ".trace";
  EXPECT_EQ(run(std::vector<std::string>{"strace", "-f", "-qq", "-o", trace} + argv).status, 0);
  std::istringstream lines(read_file(trace));
  fs::remove(trace);
  const std::regex call(R"(^[0-9]+ +([a-z0-9_]+)\()");
  const std::regex changes("openat|fchmod|fchown|flock|unlinkat|linkat|renameat2?|write|pwrite64|fsync|ftruncate|fsetxattr|fremovexattr");
  std::vector<Point> points;
  std::map<std::string, int> seen;
  bool reached = false, locked = false, saving = false;
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (!std::regex_search(line, match, call)) continue;
    const std::string name = match[1];
    const int occurrence = ++seen[name];
    reached = reached || (name != "execve" && line.find(dir) != std::string::npos);
    saving = saving || (reached && line.find("SIG_BLOCK, [HUP INT QUIT TERM]") != std::string::npos);
    if (reached && std::regex_match(name, changes)) points.push_back({name, occurrence, locked, saving});
    locked = locked || name == "flock";
  }
  return points;
}

// A run killed, or interrupted (Ctrl-C, a hang-up, a polite kill), on entry to
// each call that changes what is on disk, and killed at moments spread over a
// whole run. An interrupt waits for a save that has begun, then ends the run;
// once the lock is held it leaves nothing beside the file. (Before, its lock
// file may stay for the next run.)
class StoppedRunTest : public ::testing::TestWithParam<Route> {};
INSTANTIATE_TEST_SUITE_P(Routes, StoppedRunTest, ::testing::ValuesIn(kRoutes));

TEST_P(StoppedRunTest, LeavesTheOldOrTheNewText) {
  if (!have("strace")) GTEST_SKIP() << "needs strace";
  const rlimit no_core{0, 0};
  setrlimit(RLIMIT_CORE, &no_core);  // for SIGQUIT
  const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  constexpr int kSpread = 10;
  {
    const Route& route = GetParam();
    ScratchDir dir;
    const Hosts h = make_hosts(dir, route, 20000);
    const std::vector<std::string> argv = {tool(), "/B", "killed.example.com", h.path};
    const auto started = steady_clock::now();
    ASSERT_EQ(finish(start(argv)), 0);
    const auto run_time = steady_clock::now() - started;
    std::vector<Point> points = points_of(argv, dir.path());
    EXPECT_GT(points.size(), 10u);
    for (int i = 0; i < kSpread; ++i) points.push_back({"", i, true, true});
    int killed = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
      const Point& p = points[i];
      for (const int signal : {SIGKILL, kInterrupts[i % 4]}) {
        if (p.name.empty() && signal != SIGKILL) continue;
        SCOPED_TRACE(std::string(route.name) + ", signal " + std::to_string(signal) + " at " + p.name + " #" +
                     std::to_string(p.occurrence));
        write_file(h.path, h.before);
        if (p.name.empty()) {
          const int pid = start(argv);
          std::this_thread::sleep_for(run_time * p.occurrence / kSpread);
          kill(pid, SIGKILL);
          killed += finish(pid) == 128 + SIGKILL;
        } else {
          const std::string inject = "inject=" + p.name + ":signal=" + std::to_string(signal) + ":when=" + std::to_string(p.occurrence);
          EXPECT_EQ(run(std::vector<std::string>{"strace", "-f", "-qq", "-o", "/dev/null", "-e", inject} + argv).status, 128 + signal);
        }
        const std::string now = read_file(h.path);
        EXPECT_TRUE(p.saving || now == h.before);
        if (signal == SIGKILL || !p.locked) {
          expect_repaired(dir, h);
        } else {
          EXPECT_TRUE(now == (p.saving ? h.after("KILLED.EXAMPLE.COM") : h.before));
          EXPECT_EQ(dir.entries(), h.entries);
        }
      }
    }
    EXPECT_GT(killed, kSpread / 4) << route.name;
  }
}

// A container's hosts file is a bind mount, rewritten in place. A run killed
// halfway leaves its journal, and the next run starts from the old text.
TEST(EndToEndPosixTest, BindMountedFileKilledMidRewriteIsRepairedByTheNextRun) {
  if (geteuid() != 0 || !have("strace")) GTEST_SKIP() << "needs root for a private mount, and strace";
  ScratchDir dir;
  const Hosts h = make_hosts(dir, kRoutes[0], 50000);  // many staged pieces: killed at the second
  fs::rename(h.path, dir.file("source"));
  write_file(h.path, "");
  // Writes 1 and 2 are the journal's; 3 on are the file's.
  const std::string script =
      "mount --bind \"$1\" \"$2\" || exit 99\n"
      "strace -f -qq -o /dev/null -e inject=pwrite64:signal=KILL:when=4 \"$3\" /B killed.example.com \"$2\" >/dev/null\n"
      "ls \"$4\"\n"
      "\"$3\" /B next.example.com \"$2\" >/dev/null";
  const RunResult result = run({"unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh",
                                dir.file("source"), h.path, tool(), dir.path()});
  if (result.status == 99) GTEST_SKIP() << "private mounts unavailable";
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.output.find("hosts.tarnwick-journal"), std::string::npos) << result.output;
  EXPECT_TRUE(read_file(dir.file("source")) == h.crlf + entry("NEXT.EXAMPLE.COM"));
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"hosts", "source"}));
}

// The rename keeps what makes the file the same file to its users, and a
// link to it stays a link.
TEST(EndToEndPosixTest, BlockKeepsLinkAccessListAndAttributes) {
  if (!have("setfacl") || !have("getfattr")) GTEST_SKIP() << "needs setfacl and getfattr";
  ScratchDir dir;
  const std::string real = dir.file("real");
  write_file(real, kHosts);
  fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink("real", dir.file("hosts"));
  ASSERT_EQ(run({"setfacl", "-m", "u:nobody:rw", real}).status, 0);
  ASSERT_EQ(run({"setfattr", "-n", "user.origin", "-v", "blocklist", real}).status, 0);
  const auto metadata = [&] {
    return run({"getfacl", "-p", real}).output + run({"getfattr", "-d", "-m", "-", real}).output +
           std::to_string(static_cast<int>(fs::status(real).permissions()));
  };
  const std::string before = metadata();
  ASSERT_NE(before.find("user:nobody:rw-"), std::string::npos);
  ASSERT_NE(before.find("user.origin=\"blocklist\""), std::string::npos);
  EXPECT_EQ(run({tool(), "/B", "a.com", dir.file("hosts")}).status, 0);
  EXPECT_EQ(read_file(real), "127.0.0.1 localhost\r\n" + entry("A.COM"));
  EXPECT_EQ(metadata(), before);
  EXPECT_TRUE(fs::is_symlink(dir.file("hosts")));
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"hosts", "real"}));
}

// Starts a program (behind `prefix`) that holds a `mode` ("-s" or "-x") lock on
// `path` until it is killed; returns once the lock is held.
int hold_lock(const std::string& path, const std::string& mode, const std::vector<std::string>& prefix) {
  const int pid = start(prefix + std::vector<std::string>{"sh", "-c", "exec 3<\"$1\" && flock " + mode + " 3 && exec sleep 60", "sh", path});
  while (run({"flock", "-n", "-x", path, "true"}).status == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return pid;
}

void release(int pid) {
  kill(pid, SIGKILL);
  finish(pid);
}

// The lock runs share is a file only the hosts file's writers can open: a
// user who may read the hosts file, and so lock it, holds nobody up, also
// where they may put a lock file of their own in its place.
TEST(EndToEndPosixTest, AReaderLockingTheFileHoldsNoRunUp) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  ScratchDir dir;
  fs::permissions(dir.path(), fs::perms::all | fs::perms::sticky_bit);
  const std::string hosts = dir.file("hosts");
  write_file(hosts, kHosts);
  ASSERT_EQ(run(kAsNobody + std::vector<std::string>{"sh", "-c", "umask 077 && : > \"$1\"", "sh", hosts + ".tarnwick-lock"}).status, 0);
  const int pid = hold_lock(hosts, "-s", kAsNobody);
  const RunResult result = run({"timeout", "5", tool(), "/B", "a.com", hosts});
  release(pid);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, banner() + "Entry added.\r\n");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"hosts"});
}

// Where no lock file can be made beside it, the file itself is locked, and
// waited for ten seconds at most; a file the user cannot read is reported.
TEST(EndToEndPosixTest, WithoutALockFileTheFileIsWaitedForTenSecondsAtMost) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  ScratchDir dir;
  const std::string closed = dir.file("closed");
  fs::create_directory(closed);
  fs::permissions(closed, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
  const std::string hosts = closed + "/hosts";
  write_file(hosts, kHosts);
  ASSERT_EQ(chown(hosts.c_str(), 65534, 65534), 0);
  const int pid = hold_lock(hosts, "-x", {});
  const auto started = steady_clock::now();
  RunResult result = run(kAsNobody + std::vector<std::string>{"timeout", "30", tool(), "/B", "a.com", hosts});
  const auto waited = steady_clock::now() - started;
  release(pid);
  EXPECT_TRUE(is_report(result.output, "", "EFOpenError", "Cannot open file " + hosts)) << result.output;
  EXPECT_EQ(result.status, 1);
  EXPECT_GE(waited, std::chrono::seconds(9));
  EXPECT_LT(waited, std::chrono::seconds(15));
  EXPECT_EQ(read_file(hosts), kHosts);
  // Unheld, the same user's run goes on without a lock file or a journal.
  EXPECT_EQ(run(kAsNobody + std::vector<std::string>{tool(), "/B", "a.com", hosts}).status, 0);
  EXPECT_EQ(read_file(hosts), "127.0.0.1 localhost\r\n" + entry("A.COM"));
  // One it may not read it cannot open.
  ASSERT_EQ(chown(hosts.c_str(), 0, 0), 0);
  fs::permissions(hosts, fs::perms::owner_read | fs::perms::owner_write);
  result = run(kAsNobody + std::vector<std::string>{tool(), "/B", "b.com", hosts});
  EXPECT_TRUE(is_report(result.output, "", "EFOpenError", "Cannot open file " + hosts)) << result.output;
  EXPECT_EQ(result.status, 1);
}

}  // namespace
}  // namespace tarnwick
