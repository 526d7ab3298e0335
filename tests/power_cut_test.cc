// The power cut at each system call of a run: the run is killed there and its
// file system (ext4, or XFS, which shares extents between files) shut down at
// once, so that only what was made durable reaches the disk; mounted again,
// the file holds the old text or the new one, whichever of its names the next
// run comes by.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using namespace testing;

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
    EXPECT_EQ(run({tool(), "/B", "next.example.com", h.next}).status, 0);
    const std::string now = read_file(hosts);
    EXPECT_TRUE(now == killed + next || (!completes && now == h.written + next))
        << "beside it after the cut: " << ::testing::PrintToString(left) << "; after the next run: " << now.size() << " bytes";
    // A lock file is its name's: the next run through that name takes it.
    if (h.next != hosts) {
      EXPECT_EQ(run({tool(), "/B", "next.example.com", hosts}).status, 0);
    }
    EXPECT_EQ(dir.entries("mnt"), h.entries);
  }
}

}  // namespace
}  // namespace tarnwick
