// The power cut at each system call of a run: the run is killed there and its
// ext4 file system shut down at once, so that only what was made durable
// reaches the disk; mounted again, the file holds the old text or the new one.
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

constexpr unsigned long kShutdown = _IOR('X', 125, std::uint32_t);  // EXT4_IOC_SHUTDOWN
constexpr std::uint32_t kNoLogFlush = 2;                             // EXT4_GOING_FLAGS_NOLOGFLUSH

// An ext4 image on a loop device, mounted in this process's own namespace.
// No timed commit comes between a run and the cut: only what the run itself
// made durable survives it.
struct Disk {
  explicit Disk(const ScratchDir& dir) : image(dir.file("image")), mount_point(dir.file("mnt")) {}
  ~Disk() { if (mounted) umount2(mount_point.c_str(), MNT_DETACH); }
  bool mount() { return mounted = run({"mount", "-o", "loop,commit=600", image, mount_point}).status == 0; }
  void cut() {
    const int fd = open(mount_point.c_str(), O_RDONLY | O_DIRECTORY);
    std::uint32_t flags = kNoLogFlush;
    EXPECT_EQ(ioctl(fd, kShutdown, &flags), 0) << "cannot shut the file system down";
    close(fd);
    EXPECT_EQ(umount2(mount_point.c_str(), 0), 0);
    mounted = false;
  }
  std::string image, mount_point;
  bool mounted = false;
};

class PowerCutTest : public ::testing::TestWithParam<Route> {};
INSTANTIATE_TEST_SUITE_P(Routes, PowerCutTest, ::testing::ValuesIn(kRoutes));

TEST_P(PowerCutTest, LeavesTheOldOrTheNewText) {
  const Route& route = GetParam();
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a file system";
  if (run({"sh", "-c", "command -v strace && command -v mkfs.ext4"}).status != 0) {
    GTEST_SKIP() << "needs strace and mkfs.ext4";
  }
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    GTEST_SKIP() << "cannot make a mount namespace of its own";
  }
  ScratchDir dir;
  Disk disk(dir);
  fs::create_directory(disk.mount_point);
  if (run({"mkfs.ext4", "-q", "-F", disk.image, "64M"}).status != 0 || !disk.mount()) {
    GTEST_SKIP() << "cannot make an ext4 image and mount it on a loop device";
  }
  const auto reset = [&] {  // the old text, durably, and nothing else (not even lost+found)
    for (const std::string& name : dir.entries("mnt")) fs::remove_all(dir.file("mnt/" + name));
    const Hosts h = make_hosts(disk.mount_point, route, 3000);
    const int fd = open(disk.mount_point.c_str(), O_RDONLY | O_DIRECTORY);
    EXPECT_EQ(syncfs(fd), 0);
    close(fd);
    return h;
  };
  const std::string hosts = dir.file("mnt/hosts");
  const Args argv = {tool(), "/B", "killed.example.com", hosts};
  const Hosts h = reset();
  const std::string killed = h.written + entry("KILLED.EXAMPLE.COM"), next = entry("NEXT.EXAMPLE.COM");
  std::vector<TracedCall> calls = traced_calls(argv, disk.mount_point);
  EXPECT_GT(calls.size(), 20u);
  std::erase_if(calls, [](const TracedCall& call) { return call.name == "exit_group"; });
  calls.push_back({"", 0, ""});  // the cut after a run that completed
  for (const auto& [name, occurrence, line] : calls) {
    const bool completes = name.empty();
    SCOPED_TRACE(std::string(route.name) + ": cut " +
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

}  // namespace
}  // namespace tarnwick
