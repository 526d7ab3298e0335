// Runs on file systems of their own. The power cut at each system call of a
// run: the run is killed there and its file system (ext4, or XFS, which shares
// extents between files) shut down at once, so that only what was made
// durable reaches the disk; mounted again, the file holds the old text or the
// new one. And what comes of a copy that shares extents, where it is refused
// or fails.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdint>

#include "test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using namespace testing;

// The same call and flag on both: XFS_IOC_GOINGDOWN, XFS_FSOP_GOING_FLAGS_NOLOGFLUSH.
constexpr unsigned long kShutdown = _IOR('X', 125, std::uint32_t);  // EXT4_IOC_SHUTDOWN
constexpr std::uint32_t kNoLogFlush = 2;                             // EXT4_GOING_FLAGS_NOLOGFLUSH

// An image of a file system of `type` on a loop device, mounted in this
// process's own namespace. No timed commit comes between a run and the cut:
// only what the run itself made durable survives it.
struct Disk {
  Disk(const ScratchDir& dir, std::string type) : type(std::move(type)), image(dir.file("image")), mount_point(dir.file("mnt")) {}
  ~Disk() { if (mounted) umount2(mount_point.c_str(), MNT_DETACH); }
  // Skips the test where the file system cannot be had here.
  bool make() {
    if (geteuid() != 0) return false;
    if (unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    fs::create_directory(mount_point);
    const Args mkfs = type == "xfs" ? Args{"mkfs.xfs", "-q", "-f", image} : Args{"mkfs.ext4", "-q", "-F", image};
    return run({"truncate", "-s", "320M", image}).status == 0 && run(mkfs).status == 0 && mount();
  }
  bool mount() {
    const char* options = type == "xfs" ? "loop" : "loop,commit=600";
    return mounted = run({"mount", "-t", type, "-o", options, image, mount_point}).status == 0;
  }
  void cut() {
    const int fd = open(mount_point.c_str(), O_RDONLY | O_DIRECTORY);
    std::uint32_t flags = kNoLogFlush;
    EXPECT_EQ(ioctl(fd, kShutdown, &flags), 0) << "cannot shut the file system down";
    close(fd);
    EXPECT_EQ(umount2(mount_point.c_str(), 0), 0);
    mounted = false;
  }
  std::string type, image, mount_point;
  bool mounted = false;
};

class PowerCutTest : public ::testing::TestWithParam<std::tuple<Route, std::string>> {};
INSTANTIATE_TEST_SUITE_P(Routes, PowerCutTest, ::testing::Combine(::testing::ValuesIn(kRoutes), ::testing::Values(std::string("ext4"), std::string("xfs"))));

TEST_P(PowerCutTest, LeavesTheOldOrTheNewText) {
  const auto& [route, type] = GetParam();
  ScratchDir dir;
  Disk disk(dir, type);
  if (!have("strace") || !disk.make()) GTEST_SKIP() << "needs root, strace and a " << type << " image mounted on a loop device";
  const auto reset = [&] {  // the old text, durably, and nothing else (not even lost+found)
    for (const std::string& name : dir.entries("mnt")) fs::remove_all(dir.file("mnt/" + name));
    const Hosts h = make_hosts(disk.mount_point, route, 3000);
    const int fd = open(disk.mount_point.c_str(), O_RDONLY | O_DIRECTORY);
    EXPECT_EQ(syncfs(fd), 0);
    close(fd);
    return h;
  };
  const std::string hosts = dir.file("mnt/hosts");
  const Args argv = {tool(), route.mode, "killed.example.com", hosts};
  const Hosts h = reset();
  const std::string& killed = h.after;
  const std::string next = entry("NEXT.EXAMPLE.COM");
  std::vector<TracedCall> calls = traced_calls(argv, disk.mount_point);
  EXPECT_GT(calls.size(), 20u);
  std::erase_if(calls, [](const TracedCall& call) { return call.name == "exit_group"; });
  calls.push_back({"", 0, ""});  // the cut after a run that completed
  for (const auto& [name, occurrence, line] : calls) {
    const bool completes = name.empty();
    SCOPED_TRACE(std::string(route.name) + " on " + type + ": cut " +
                 (completes ? "after a completed run" : "at " + name + " #" + std::to_string(occurrence)));
    reset();
    EXPECT_EQ(run((completes ? Args{} : stopped_at(name, occurrence)) + argv).status, completes ? 0 : 128 + SIGKILL);
    disk.cut();
    ASSERT_TRUE(disk.mount()) << "cannot mount the file system again";
    const Args left = dir.entries("mnt");
    EXPECT_EQ(run({tool(), "/B", "next.example.com", hosts}).status, 0);
    const std::string now = read_file(hosts);
    EXPECT_TRUE(now == killed + next || (!completes && now == h.written + next))
        << "beside it after the cut: " << ::testing::PrintToString(left) << "; after the next run: " << now.size() << " bytes";
    EXPECT_EQ(dir.entries("mnt"), h.entries);
  }
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
                                        Case{"error=ENOSYS", true}, Case{"error=EINVAL", true}, Case{"error=EIO", false},
                                        Case{"retval=0", false}}) {
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
