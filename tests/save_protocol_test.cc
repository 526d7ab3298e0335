// How runs keep each other's edits on POSIX: many runs at once, runs of users
// who lock differently, files in overlays and in closed directories, and file
// capabilities.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <sys/stat.h>

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

ino_t inode_of(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

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

TEST(SaveProtocolTest, HundredsOfOverlappingRunsKeepEveryEdit) {
  ScratchDir dir;
  write_file(dir.file("hosts"), kWritten);
  EXPECT_EQ(block_at_once(dir.file("hosts"), 300, false), (std::map<int, int>{{0, 300}}));
  EXPECT_EQ(dir.entries(), Args{"hosts"});
}

// Nobody may write the file but not make a lock file beside it, and locks the
// file itself; root makes the lock file and, as others may write the file,
// locks the file too. Either kind waits for the other.
TEST(SaveProtocolTest, LockFileRunsAndFileLockRunsExcludeEachOther) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  ScratchDir dir;
  const std::string hosts = closed_hosts(dir, fs::perms(0755), kWritten);
  const int holder = hold_locks(kAsNobody, "exec 3<\"$1\" && flock -x 3", {hosts});
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
// (0755) or even list (0711): edited in place, after one try at most at
// making a lock file.
TEST(SaveProtocolTest, UnprivilegedRunInADirectoryItMayNotWrite) {
  if (geteuid() != 0 || !have("strace")) GTEST_SKIP() << "needs root to switch to an unprivileged user, and strace";
  for (const fs::perms mode : {fs::perms(0755), fs::perms(0711)}) {
    SCOPED_TRACE(mode == fs::perms(0711) ? "a directory it may only pass through" : "a directory it may list");
    ScratchDir dir;
    const std::string hosts = closed_hosts(dir, mode, kHosts), trace = dir.file("trace");
    const ino_t file = inode_of(hosts);
    const Args strace = {"strace", "-f", "-qq", "-e", "trace=openat", "-o", trace};
    const RunResult result = run(strace + kAsNobody + Args{tool(), "/B", "a.com", hosts});
    EXPECT_EQ(result.output, banner() + kAdded);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read_file(hosts), kBlocked);
    EXPECT_EQ(inode_of(hosts), file);
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
  for (const Route& route : kRoutes) {
    SCOPED_TRACE(route.name);
    ScratchDir dir;
    const Hosts h = make_hosts(dir, route, 3);
    ASSERT_EQ(run({"setcap", "cap_net_bind_service+ep", h.path}).status, 0);
    EXPECT_EQ(run({tool(), "/B", "a.com", h.path}).status, 0);
    EXPECT_EQ(read_file(h.path), h.written + entry("A.COM"));
    EXPECT_NE(run({"getcap", h.path}).output.find("cap_net_bind_service=ep"), std::string::npos);
    EXPECT_EQ(dir.entries(), h.entries);
  }
}

}  // namespace
}  // namespace tarnwick
#endif
