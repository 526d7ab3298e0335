// How runs keep each other's edits on POSIX: many runs at once, runs of users
// who lock differently, files in overlays and in closed directories, file
// capabilities, journals left by a run that died, and copies that share a
// file's blocks.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <map>

#include "test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using namespace testing;

const std::string kHosts = "127.0.0.1 localhost\n";
const std::string kWritten = "127.0.0.1 localhost\r\n";
const std::string kBlocked = kWritten + entry("A.COM");
const std::string kAdded = "Entry added.\r\n";
const std::string kJournal = "hosts.tarnwick-journal";

// closed/hosts in `dir`: root's, open to everybody, in a directory of root's
// of `mode`.
std::string closed_hosts(const ScratchDir& dir, fs::perms mode, const std::string& text) {
  const std::string hosts = dir.file("closed/hosts");
  fs::create_directory(dir.file("closed"));
  write_file(hosts, text);
  fs::permissions(hosts, fs::perms(0666));
  fs::permissions(dir.file("closed"), mode);
  return hosts;
}

// Starts `count` blocks of different names on `hosts` at once, every second
// one as nobody where `mixed`, and gives how many ended with each status.
// Every entry must be in the file once, after what it held before.
std::map<int, int> block_at_once(const std::string& hosts, int count, bool mixed) {
  const std::string before = read_file(hosts);
  const auto line = [](int i) { return entry("RUN" + std::to_string(i) + ".EXAMPLE.COM"); };
  std::vector<int> pids;
  for (int i = 0; i < count; ++i) {
    const Args argv = {tool(), "/B", "run" + std::to_string(i) + ".example.com", hosts};
    pids.push_back(start(mixed && i % 2 == 1 ? kAsNobody + argv : argv));
  }
  std::map<int, int> statuses;
  for (const int pid : pids) ++statuses[finish(pid)];
  const std::string now = read_file(hosts);
  std::size_t missing = 0, size = before.size();
  for (int i = 0; i < count; ++i) missing += now.find(line(i)) == now.npos, size += line(i).size();
  EXPECT_EQ(missing, 0u);
  EXPECT_TRUE(now.starts_with(before) && now.size() == size) << now.size() << " bytes, not " << size;
  return statuses;
}

// Blocks are appended; unblocks write the file anew.
TEST(SaveProtocolTest, HundredsOfOverlappingRunsKeepEveryEdit) {
  ScratchDir dir;
  const std::string hosts = dir.file("hosts");
  write_file(hosts, kWritten);
  EXPECT_EQ(block_at_once(hosts, 300, false), (std::map<int, int>{{0, 300}}));
  std::vector<int> pids;
  for (int i = 0; i < 300; i += 10) pids.push_back(start({tool(), "/U", "run" + std::to_string(i) + ".example.com", hosts}));
  for (const int pid : pids) EXPECT_EQ(finish(pid), 0);
  const std::string now = read_file(hosts);
  for (int i = 0; i < 300; ++i) EXPECT_EQ(now.find(entry("RUN" + std::to_string(i) + ".EXAMPLE.COM")) == now.npos, i % 10 == 0) << i;
  EXPECT_EQ(dir.entries(), Args{"hosts"});
}

// Nobody may write the file but not make a lock file beside it, and locks the
// file itself, waiting ten seconds at most; root makes the lock file and, as
// others may write the file, locks the file too, and waits for as long as it
// takes. Either kind waits for the other.
TEST(SaveProtocolTest, LockFileRunsAndFileLockRunsExcludeEachOther) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  ScratchDir dir;
  const std::string hosts = closed_hosts(dir, fs::perms(0755), kWritten), lock_file = "exec 3<\"$1\" && flock -x 3";
  int holder = hold_locks({}, lock_file, {hosts});
  const auto started = std::chrono::steady_clock::now();
  const RunResult result = run(kAsNobody + Args{"timeout", "30", tool(), "/B", "a.com", hosts});
  const auto waited = std::chrono::steady_clock::now() - started;
  release(holder);
  EXPECT_TRUE(is_report(result.output, "", "EFOpenError Cannot open file " + hosts)) << ::testing::PrintToString(result.output);
  EXPECT_TRUE(waited >= std::chrono::seconds(9) && waited < std::chrono::seconds(15));
  holder = hold_locks(kAsNobody, lock_file, {hosts});
  const int waiting = start({tool(), "/B", "waiting.example.com", hosts});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(read_file(hosts), kWritten) << "root's run did not wait for nobody's";
  release(holder);
  EXPECT_EQ(finish(waiting), 0);
  EXPECT_EQ(block_at_once(hosts, 40, true), (std::map<int, int>{{0, 40}}));
  EXPECT_EQ(dir.entries("closed"), Args{"hosts"});
}

// The first edit of a file in an overlay's lower layer copies it up, which
// may give it another number or device: lower and upper on one file system,
// and lower on a tmpfs, where xino is turned off if the system allows.
TEST(SaveProtocolTest, FirstEditOfAFileInAnOverlaysLowerLayer) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for private mounts";
  for (const bool tmpfs : {false, true}) {
    SCOPED_TRACE(tmpfs ? "lower on a tmpfs" : "one file system");
    ScratchDir dir;
    for (const char* name : {"lower", "upper", "work", "merged"}) fs::create_directory(dir.file(name));
    const std::string script = std::string(tmpfs ? "mount -t tmpfs tmpfs \"$1/lower\" || exit 99\n" : "") +
                               "printf '127.0.0.1 localhost\\n' > \"$1/lower/hosts\"\n"
                               "o=lowerdir=$1/lower,upperdir=$1/upper,workdir=$1/work\n"
                               "mount -t overlay overlay -o $o,xino=off \"$1/merged\" 2>/dev/null ||\n"
                               "  mount -t overlay overlay -o $o \"$1/merged\" || exit 99\n"
                               "exec \"$2\" /B a.com \"$1/merged/hosts\"";
    const RunResult result =
        run({"unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh", dir.path(), tool()});
    if (result.status == 99) GTEST_SKIP() << "overlay mounts unavailable";
    EXPECT_EQ(result.output, banner() + kAdded);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(dir.file("upper/hosts")), kBlocked);
    EXPECT_EQ(dir.entries("upper"), Args{"hosts"});
  }
}

// Nobody's block of a file it may write in a directory it may not write
// (0755) or even list (0711), or may write but not list (0733): edited in
// place, after one try at most at making a lock file, and nothing left.
TEST(SaveProtocolTest, UnprivilegedRunInADirectoryItMayNotWrite) {
  if (geteuid() != 0 || !have("strace")) GTEST_SKIP() << "needs root to switch to an unprivileged user, and strace";
  // 0733: it may make files there, but not give them to the file's owner.
  for (const fs::perms mode : {fs::perms(0755), fs::perms(0711), fs::perms(0733)}) {
    SCOPED_TRACE(static_cast<int>(mode));
    ScratchDir dir;
    const std::string hosts = closed_hosts(dir, mode, kHosts), trace = dir.file("trace");
    const std::uint64_t file = stamp_of(hosts).file;
    const Args strace = {"strace", "-f", "-qq", "-e", "trace=openat", "-o", trace};
    const RunResult result = run(strace + kAsNobody + Args{tool(), "/B", "a.com", hosts});
    EXPECT_EQ(result.output, banner() + kAdded);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(hosts), kBlocked);
    EXPECT_EQ(stamp_of(hosts).file, file);
    EXPECT_EQ(dir.entries("closed"), Args{"hosts"});
    std::istringstream lines(read_file(trace));
    int tries = 0;
    for (std::string line; std::getline(lines, line);) tries += line.find("hosts.tarnwick-lock") != line.npos;
    EXPECT_LE(tries, 2);
  }
}

TEST(SaveProtocolTest, FileCapabilitySurvivesEverySaveRoute) {
  if (geteuid() != 0 || run({"sh", "-c", "command -v setcap && command -v getcap"}).status != 0) {
    GTEST_SKIP() << "needs root, setcap and getcap";
  }
  // Also where an append is killed between its write and putting the
  // capability back: the journal keeps it for the next run, but only a
  // journal of the administrator's gives it back (another's may be forged).
  struct Case { Route route; bool killed; uid_t owner; bool kept; };
  for (const Case& c : {Case{kRoutes[0], false, 0, true}, Case{kRoutes[1], false, 0, true},
                        Case{kRoutes[2], false, 0, true}, Case{kRoutes[2], true, 0, true},
                        Case{kRoutes[2], true, 65534, false}}) {
    SCOPED_TRACE(std::string(c.route.name) + (c.killed ? ", killed" : "") + ", owner " + std::to_string(c.owner));
    ScratchDir dir;
    const Hosts h = make_hosts(dir.path(), c.route, 3);
    ASSERT_EQ(chown(h.path.c_str(), c.owner, c.owner), 0);
    ASSERT_EQ(run({"setcap", "cap_net_bind_service+ep", h.path}).status, 0);
    if (c.killed) {
      EXPECT_EQ(run(stopped_at("fsetxattr", 1) + Args{tool(), "/B", "killed.example.com", h.path}).status, 128 + SIGKILL);
    }
    EXPECT_EQ(run({tool(), "/B", "a.com", h.path}).status, 0);
    EXPECT_EQ(read_file(h.path), h.written + entry("A.COM"));
    EXPECT_EQ(run({"getcap", h.path}).output.find("cap_net_bind_service=ep") != std::string::npos, c.kept);
    EXPECT_EQ(dir.entries(), h.entries);
  }
}

// What others put at the lock file's name. A reader who locks the file, and
// holds a lock file of their own in its place, holds no run up. A live lock
// file a reader may not open is not theirs to remove. A file the file's owner
// may not open, which no run made, keeps the owner's runs out, since the lock
// files of runs that get past it would not exclude them. A lock file with the
// file's group, made by one who may not write the file, holds no run up.
TEST(SaveProtocolTest, LockFilesOthersPutInTheWay) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to unprivileged users";
  const Args kAsOther = {"setpriv", "--reuid=65533", "--regid=65533", "--clear-groups"};
  const std::string hold = "exec 3<\"$1\" && flock -x 3";
  const auto make = [](const Args& user, const std::string& script, const Args& files) {
    EXPECT_EQ(run(user + Args{"sh", "-c", script, "sh"} + files).status, 0);
  };
  const auto sticky = [](const ScratchDir& dir) { fs::permissions(dir.path(), fs::perms::all | fs::perms::sticky_bit); };
  // `plant` puts the lock file in place and gives the process holding it, if
  // any; the run is `runner`'s, and `report` ends with the file's path.
  struct Case {
    const char* name;
    std::function<int(const ScratchDir& dir, const std::string& hosts, const std::string& lock)> plant;
    Args runner;
    std::string printed, report, after;
    Args left;
  };
  const Args both = {"hosts", "hosts.tarnwick-lock"};
  const std::vector<Case> cases = {
      {"a reader's, the file locked too", [&](auto& dir, auto& hosts, auto& lock) {
         sticky(dir);
         make(kAsNobody, "umask 077 && : > \"$1\"", {lock});
         return hold_locks(kAsNobody, "exec 3<\"$1\" 4<\"$2\" && flock -x 4 && flock -s 3", {hosts, lock});
       }, {}, kAdded, "", kBlocked, {"hosts"}},
      {"a live one of root's", [&](auto&, auto&, auto& lock) {
         make({}, "umask 077 && : > \"$1\"", {lock});
         return hold_locks({}, hold, {lock});
       }, kAsNobody, kAdded, "EFCreateError Cannot create file ", kWritten, both},
      {"another's, the owner may not open it", [&](auto& dir, auto& hosts, auto& lock) {
         sticky(dir);
         EXPECT_EQ(chown(hosts.c_str(), 65534, 65534), 0);
         make(kAsOther, ": > \"$1\"", {lock});
         return 0;
       }, kAsNobody, "", "EFOpenError Cannot open file ", kWritten, both},
      {"with the file's group, by one who may not write it", [&](auto& dir, auto& hosts, auto& lock) {
         fs::create_directory(dir.file("setgid"));
         EXPECT_EQ(chown(dir.file("setgid").c_str(), 0, 4242) + chown(hosts.c_str(), 0, 4242), 0);
         fs::permissions(dir.file("setgid"), fs::perms(02777));
         fs::permissions(hosts, fs::perms(0664));
         make(kAsNobody, "umask 007 && : > \"$1\" && mv \"$1\" \"$2\"", {dir.file("setgid/lock"), lock});
         return hold_locks(kAsNobody, hold, {lock});
       }, {}, kAdded, "", kBlocked, {"hosts", "setgid"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string hosts = dir.file("hosts");
    write_file(hosts, kWritten);
    const int holder = c.plant(dir, hosts, hosts + ".tarnwick-lock");
    const RunResult result = run(c.runner + Args{"timeout", "5", tool(), "/B", "a.com", hosts});
    if (holder != 0) release(holder);
    EXPECT_TRUE(is_report(result.output, c.printed, c.report.empty() ? "" : c.report + hosts)) << result.output;
    EXPECT_EQ(read_file(hosts), c.after);
    EXPECT_EQ(dir.entries(), c.left);
  }
}

// Kills a block of `hosts` (LF line ends and a second name: rewritten in
// place) on entry to its first ftruncate: the new text is written over the
// old but not cut to length, and the journal holds the old text.
void kill_mid_rewrite(const std::string& hosts) {
  EXPECT_EQ(run(stopped_at("ftruncate", 1) + Args{tool(), "/B", "killed.example.com", hosts}).status, 128 + SIGKILL);
}

// What a killed rewrite's file became (from its old text and the text the
// run wrote over it) before the next run, always the same file: whether that
// is a write torn on its way to disk.
struct Meddling {
  const char* name;
  bool torn;
  std::function<std::string(const std::string& old, const std::string& now)> make;
};

// A journal left by a killed rewrite: an administrator's later edit is kept,
// and the journal set aside for good; a torn write, 512-byte units from the
// old text and the new in turn, is undone first.
TEST(SaveProtocolTest, AJournalIsPlayedBackOnlyOverTheWriteItGuarded) {
  if (!have("strace")) GTEST_SKIP() << "needs strace";
  const std::string nas = "10.0.0.7 nas\n";
  const Meddling cases[] = {
      {"line appended", false, [&](auto&, auto& now) { return now + nas; }},
      {"line inserted in place", false,
       [&](auto&, auto& now) {
         const std::size_t middle = now.find('\n', now.size() / 2) + 1;
         return now.substr(0, middle) + nas + now.substr(middle);
       }},
      {"last line replaced", false, [&](auto&, auto& now) { return now.substr(0, now.rfind('\n', now.size() - 2) + 1) + nas; }},
      {"torn", true,
       [](auto& old, auto& now) {
         std::string text = now.substr(0, (old.size() + now.size()) / 2);
         for (std::size_t at = 0; at < old.size(); at += 1024) {
           text.replace(at, std::min<std::size_t>(512, old.size() - at), old.substr(at, 512));
         }
         return text;
       }},
  };
  for (const auto& [name, torn, make] : cases) {
    SCOPED_TRACE(name);
    ScratchDir dir;
    const Hosts h = make_hosts(dir.path(), kRoutes[1], 100);
    kill_mid_rewrite(h.path);
    const std::string now = read_file(h.path), journal = read_file(dir.file(kJournal));
    ASSERT_EQ(now, h.written + entry("KILLED.EXAMPLE.COM"));
    ASSERT_FALSE(journal.empty());
    write_file(h.path, make(h.before, now));  // the same file, written over
    std::string expected = h.written;
    for (const std::string next : {"NEXT", "LATER"}) {
      EXPECT_EQ(run({tool(), "/B", next + ".example.com", h.path}).status, 0);
      const std::string after = read_file(h.path);
      expected += entry(next + ".EXAMPLE.COM");
      if (torn) {
        EXPECT_EQ(after, expected);
        EXPECT_EQ(dir.entries(), h.entries);
      } else {
        EXPECT_NE(after.find("10.0.0.7 nas"), after.npos);
        EXPECT_EQ(dir.entries(), (Args{"hosts", kJournal + ".1", "link"}));
        EXPECT_TRUE(read_file(dir.file(kJournal + ".1")) == journal);
      }
    }
  }
}

// Another user trusted with the file leaves a journal that others know for a
// run's by the file's mark: here a member of the file's group, in a
// directory that hands its group to every file made in it. A mark on another
// file that names this file's journal is none of that file's runs' business.
TEST(SaveProtocolTest, AJournalIsKnownByTheMarkOnItsFile) {
  if (geteuid() != 0 || !have("strace")) GTEST_SKIP() << "needs root to switch to an unprivileged user, and strace";
  ScratchDir dir;
  fs::create_directory(dir.file("shared"));
  ASSERT_EQ(chown(dir.file("shared").c_str(), 0, 4242), 0);
  fs::permissions(dir.file("shared"), fs::perms(02775));
  const Hosts h = make_hosts(dir.path(), kRoutes[0], 100, "shared/hosts");
  fs::permissions(h.path, fs::perms(0664));
  const Args member = {"setpriv", "--reuid=65534", "--regid=65534", "--groups=4242"};
  EXPECT_EQ(run(member + stopped_at("ftruncate", 1) + Args{tool(), "/B", "killed.example.com", h.path}).status,
            128 + SIGKILL);
  const std::string torn = read_file(h.path);
  ASSERT_EQ(dir.entries("shared"), (Args{"hosts", kJournal}));
  // Neither a change of its mode nor a second name (a backup's) makes it
  // another journal.
  const std::string journal = dir.file("shared/" + kJournal);
  fs::permissions(journal, fs::status(journal).permissions());
  fs::create_hard_link(journal, dir.file("backup"));
  write_file(dir.file("other"), kWritten);
  const std::string mark = run({"getfattr", "--absolute-names", "--only-values", "-n", "user.tarnwick.journal", h.path}).output;
  ASSERT_EQ(run({"setfattr", "-n", "user.tarnwick.journal", "-v", mark, dir.file("other")}).status, 0);
  EXPECT_EQ(run({tool(), "/B", "a.com", dir.file("other")}).status, 0);
  EXPECT_EQ(read_file(h.path), torn);
  EXPECT_EQ(run({tool(), "/B", "next.example.com", h.path}).status, 0);
  EXPECT_EQ(read_file(h.path), h.written + entry("NEXT.EXAMPLE.COM"));
  EXPECT_EQ(dir.entries("shared"), Args{"hosts"});
}

// One file under two names in two directories: a run by one name is killed
// mid-rewrite, and a run by the other plays its journal back first, or, where
// it may not reach it, stops; a later run by the first name keeps the edit.
TEST(SaveProtocolTest, AJournalIsFoundByTheFilesOtherName) {
  if (!have("strace")) GTEST_SKIP() << "needs strace";
  ScratchDir dir;
  fs::create_directory(dir.file("a"));
  fs::create_directory(dir.file("b"));
  const Hosts h = make_hosts(dir.path(), kRoutes[0], 100, "a/hosts");
  fs::create_hard_link(h.path, dir.file("b/hosts"));
  kill_mid_rewrite(h.path);
  ASSERT_EQ(read_file(h.path), h.written + entry("KILLED.EXAMPLE.COM"));
  if (geteuid() == 0) {  // a user who may not reach the journal does not build on the file either
    fs::permissions(dir.file("a"), fs::perms(0700));
    fs::permissions(h.path, fs::perms(0666));
    const RunResult result = run(kAsNobody + Args{tool(), "/B", "other.example.com", dir.file("b/hosts")});
    EXPECT_TRUE(is_report(result.output, "", "EFOpenError Cannot open file " + dir.file("b/hosts"))) << result.output;
    fs::permissions(dir.file("a"), fs::perms(0755));
  }
  EXPECT_EQ(run({tool(), "/B", "other.example.com", dir.file("b/hosts")}).status, 0);
  EXPECT_EQ(read_file(h.path), h.written + entry("OTHER.EXAMPLE.COM"));
  EXPECT_EQ(run({tool(), "/B", "next.example.com", h.path}).status, 0);
  EXPECT_NE(read_file(h.path).find(entry("OTHER.EXAMPLE.COM")), std::string::npos);
  EXPECT_EQ(dir.entries("a"), Args{"hosts"});
  EXPECT_EQ(dir.entries("b"), Args{"hosts"});
}

// An unblock on XFS shares the file's blocks with its new text. Where the
// copy is refused (another file system, one that shares nothing, an old
// kernel), the text is written instead; where it fails, or finds the file
// ended before the bytes it held, the run fails and the old text stays.
TEST(SharedCopyTest, RefusedCopiesAreWrittenAndFailedOnesKeepTheOldText) {
  ScratchDir dir;
  Disk disk(dir, "xfs");
  if (!have("strace") || !disk.make()) GTEST_SKIP() << "needs root, strace and an XFS image mounted on a loop device";
  const std::string trace = dir.file("trace");
  struct Case { std::string injected; bool saved; };
  for (const auto& [injected, saved] : {Case{"", true}, Case{"error=EXDEV", true}, Case{"error=EOPNOTSUPP", true},
                                        Case{"error=ENOSYS", true}, Case{"error=EINVAL", true}, Case{"error=EPERM", true},
                                        Case{"error=EIO", false}, Case{"retval=0", false}}) {
    SCOPED_TRACE(injected);
    const Hosts h = make_hosts(disk.mount_point, kRoutes[3], 3000);
    Args strace = {"strace", "-f", "-qq", "-o", trace, "-e", "trace=copy_file_range"};
    if (!injected.empty()) strace.insert(strace.end(), {"-e", "inject=copy_file_range:" + injected + ":when=1"});
    const RunResult result = run(strace + Args{tool(), "/U", "killed.example.com", h.path});
    const std::string calls = read_file(trace);
    EXPECT_TRUE(injected.empty() ? std::regex_search(calls, std::regex(R"(copy_file_range\(.*\) = [1-9][0-9]*\n)"))
                                 : calls.find("(INJECTED)") != std::string::npos) << calls;
    EXPECT_TRUE(saved ? is_report(result.output, "Entry removed\r\n")
                      : is_report(result.output, "Entry removed\r\n", "EWriteError Stream write error")) << result.output;
    EXPECT_EQ(read_file(h.path), saved ? h.after : h.before);
    EXPECT_EQ(dir.entries("mnt"), h.entries);
  }
}

}  // namespace
}  // namespace tarnwick
#endif
