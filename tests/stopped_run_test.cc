// A run stopped at each of its system calls, and the next run: killed there,
// interrupted there (Ctrl-C, a hang-up, a polite kill), or killed there with
// the power cut at once, on a file system of its own (ext4, or XFS, which
// shares extents between files), so that only what the run made durable
// reaches the disk. The file then holds the old text or the new one,
// whichever of its names the next run comes by, and nothing of the run's
// stays beside it.
#ifndef _WIN32
#include <sys/resource.h>

#include "test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using namespace testing;

enum class Stop { kKill, kInterrupt, kPowerCutOnExt4, kPowerCutOnXfs };
const char* const kStops[] = {"killed", "interrupted", "power cut on ext4", "power cut on XFS"};
void PrintTo(Stop stop, std::ostream* out) { *out << kStops[static_cast<int>(stop)]; }

// Where a run is stopped: each call of the run that changes what is on disk,
// as strace counts it (its name, how many of that name came before it and
// one), whether the run held its lock then, and whether its save had begun,
// holding interrupts; for a power cut, also after the run has completed (no
// name). A power cut at any other call leaves what one at the call that last
// changed the disk leaves.
struct Point { std::string name; int occurrence; bool locked, saving; };
std::vector<Point> points_of(const Args& argv, const std::string& place, bool and_completed) {
  const std::regex changes(
      "openat|fchmod|fchown|flock|fcntl|unlinkat|linkat|renameat2?|write|pwrite64|copy_file_range|sync_file_range|fsync|"
      "ftruncate|f(set|remove)xattr");
  std::vector<Point> points;
  bool locked = false, saving = false;
  for (const TracedCall& call : traced_calls(argv, place)) {
    saving = saving || call.line.find("SIG_BLOCK, [HUP INT QUIT TERM]") != std::string::npos;
    if (std::regex_match(call.name, changes)) points.push_back({call.name, call.occurrence, locked, saving});
    locked = locked || call.name == "flock";
  }
  if (and_completed) points.push_back({"", 0, true, true});
  return points;
}

class StoppedRunTest : public ::testing::TestWithParam<std::tuple<Route, Stop>> {};
INSTANTIATE_TEST_SUITE_P(Routes, StoppedRunTest, ::testing::Combine(::testing::ValuesIn(kRoutes),
                                                                    ::testing::Values(Stop::kKill, Stop::kInterrupt,
                                                                                      Stop::kPowerCutOnExt4,
                                                                                      Stop::kPowerCutOnXfs)));

// An interrupt waits for a save that has begun, then ends the run; once the
// lock is held it leaves nothing beside the file. What a killed run (or one
// interrupted before it held the lock) may leave is its lock file, its
// journal and its mark, and, killed between naming it and renaming it, its
// temporary file: the next run, through the file's other name where it has
// one, plays the journal back and starts from the old text or the new one;
// the lock file is its name's, which the next run through that name takes.
TEST_P(StoppedRunTest, LeavesTheOldOrTheNewText) {
  const auto& [route, stop] = GetParam();
  const bool power_cut = stop == Stop::kPowerCutOnExt4 || stop == Stop::kPowerCutOnXfs;
  SCOPED_TRACE(std::string(route.name) + ", " + kStops[static_cast<int>(stop)]);
  ScratchDir dir;
  std::optional<Disk> disk;
  if (power_cut) disk.emplace(dir, stop == Stop::kPowerCutOnXfs ? "xfs" : "ext4");
  if (!have("strace") || (power_cut && !disk->make())) {
    GTEST_SKIP() << "needs strace, and for a power cut root and an image mounted on a loop device";
  }
  const rlimit no_core{0, 0};
  setrlimit(RLIMIT_CORE, &no_core);  // for SIGQUIT
  const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  const std::string place = power_cut ? disk->mount_point : dir.file("files");
  fs::create_directories(place);
  const auto reset = [&] {  // the old text, durably, and nothing else (not even lost+found)
    for (const auto& entry : fs::directory_iterator(place)) fs::remove_all(entry.path());
    // More than a megabyte, so that a rename starts the disk's write-back.
    const Hosts h = make_hosts(place, route, power_cut ? 3000 : 40000);
    const int fd = open(place.c_str(), O_RDONLY | O_DIRECTORY);
    EXPECT_EQ(syncfs(fd), 0);
    close(fd);
    return h;
  };
  const Hosts h = reset();
  const Args argv = {tool(), route.mode, "killed.example.com", h.path};
  const std::string next = entry("NEXT.EXAMPLE.COM");
  const std::vector<Point> points = points_of(argv, place, power_cut);
  EXPECT_GT(points.size(), 10u);
  // The routes that make a new file, and only they, rename it over the old.
  const bool renames = std::any_of(points.begin(), points.end(), [](const Point& p) { return p.name.starts_with("rename"); });
  EXPECT_EQ(renames, route.name == std::string("rename") || route.name == std::string("copied"));
  for (std::size_t i = 0; i < points.size(); ++i) {
    const auto& [name, occurrence, locked, saving] = points[i];
    const bool completes = name.empty();
    const int signal = stop == Stop::kInterrupt ? kInterrupts[i % 4] : SIGKILL;
    SCOPED_TRACE(completes ? "after the run completed" : "at " + name + " #" + std::to_string(occurrence));
    reset();
    EXPECT_EQ(run((completes ? Args{} : stopped_at(name, occurrence, signal)) + argv).status,
              completes ? 0 : 128 + signal);
    if (power_cut) {
      ASSERT_TRUE(disk->cut()) << "cannot mount the file system again";
    }
    const std::string now = read_file(h.path);
    EXPECT_TRUE(saving || now == h.before);
    if (stop == Stop::kInterrupt && locked) {
      EXPECT_TRUE(now == (saving ? h.after : h.before));
    } else {
      for (const std::string& left : fs::exists(place) ? ScratchDir::names_in(place) : Args{}) {
        EXPECT_TRUE(std::regex_match(left, std::regex("hosts(\\.tarnwick-(lock|journal|new))?|link"))) << left;
      }
      EXPECT_EQ(run({tool(), "/B", "next.example.com", h.next}).status, 0);
      const std::string repaired = read_file(h.path);
      EXPECT_TRUE(repaired == h.after + next || (!completes && repaired == h.written + next)) << repaired.size() << " bytes";
      if (h.next != h.path) {
        EXPECT_EQ(run({tool(), "/B", "next.example.com", h.path}).status, 0);
      }
    }
    EXPECT_EQ(ScratchDir::names_in(place), h.entries);
  }
}

}  // namespace
}  // namespace tarnwick
#endif
