// Helpers shared by the tests: scratch directories, files, running programs,
// and a fake system behind the platform seam.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#ifndef _WIN32
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>
#endif

#include "platform/seam.h"
#include "failure/failure.h"
#include "console/output_channel.h"

namespace tarnwick::testing {

// A fresh directory, removed with everything in it when the object goes.
struct ScratchDir {
  ScratchDir() {
    static std::mt19937_64 random{std::random_device{}()};
    do {
      path_ = (std::filesystem::temp_directory_path() / ("tarnwick-test-" + std::to_string(random()))).string();
    } while (!std::filesystem::create_directory(path_));
    std::filesystem::permissions(path_, std::filesystem::perms::all);  // an unprivileged user works in it too
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return (std::filesystem::path(path_) / name).string(); }
  std::vector<std::string> entries(const std::string& within = "") const { return names_in(file(within)); }
  static std::vector<std::string> names_in(const std::string& directory) {  // sorted
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string path_;
};

inline std::string read_file(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}
inline void write_file(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }
inline platform::FileStamp stamp_of(const std::string& path) {
  platform::FileStamp stamp;
  const platform::Handle file = platform::open_for_reading(path.c_str());
  EXPECT_TRUE(file >= 0 && platform::stamp(file, stamp));
  if (file >= 0) platform::close(file);
  return stamp;
}

// True where files here keep the mark of a change in progress (not under
// Wine, which keeps no streams of a file).
inline bool keeps_marks() {
  ScratchDir dir;
  write_file(dir.file("hosts"), "x");
  platform::Site site;
  if (!platform::locate(dir.file("hosts").c_str(), site)) return false;
  const platform::Handle file = platform::open_for_update(site);
  const bool kept = file >= 0 && platform::set_mark(file, "x");
  if (file >= 0) platform::close(file);
  if (site.directory >= 0) platform::close(site.directory);
  return kept;
}

// The failure `action` throws, as "KIND: text", or "no failure".
inline std::string failure_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const Failure& failure) {
    return std::string(kind_name(failure.kind())) + ": " + std::string(failure.text());
  }
  return "no failure";
}

// The built programs, as this system names them.
std::string tool();
std::string probe();

// Runs `argv` (argv[0] is the program) with standard output captured: all
// it wrote there, and its exit status, or 128 + signal.
struct RunResult { std::string output; int status; };
RunResult run(const std::vector<std::string>& argv);
// Starts `argv` with standard output to `output` (the null device when -1,
// and always on Windows); finish() waits for it: its status, as run() gives.
int start(const std::vector<std::string>& argv, int output = -1);
int finish(int pid);
#ifdef _WIN32
// Runs a raw command line, exactly as given, with standard output captured.
RunResult run_command_line(const std::string& line);
// A path as the build names it, as this system names it (under Wine, drive Z:).
std::string native_path(const std::string& path);
#endif

using Args = std::vector<std::string>;
inline Args operator+(Args prefix, const Args& more) {
  prefix.insert(prefix.end(), more.begin(), more.end());
  return prefix;
}
inline bool have(const std::string& program) { return run({program, "--version"}).status == 0; }

// The line a block appends for `name` (in upper case).
inline std::string entry(const std::string& name) { return "127.0.0.1        " + name + "\r\n"; }

// The banner and the empty line that open every run.
inline std::string banner() {
  return "TARNWICK - blocks and unblocks host names in the hosts file, version " TARNWICK_VERSION "\r\n\r\n";
}
// True when `output` is the banner, `head`, then, for a `report` "KIND TEXT",
// "Exception KIND in module tarnwick at XXXXXXXX." LF TEXT "." CR LF.
inline bool is_report(const std::string& output, const std::string& head, const std::string& report = "") {
  if (report.empty()) return output == banner() + head;
  const std::size_t blank = report.find(' ');
  const std::string start = banner() + head + "Exception " + report.substr(0, blank) + " in module " +
                            std::filesystem::path(tool()).filename().string() + " at ";
  const std::string end = ".\n" + report.substr(blank + 1) + ".\r\n";
  return output.size() == start.size() + 8 + end.size() && output.starts_with(start) && output.ends_with(end) &&
         output.find_first_not_of("0123456789ABCDEF", start.size()) == start.size() + 8;
}

// What a run is to have done: printed after the banner, then the failure
// report ("KIND text"; none for a run that ends with status 0, as a report
// makes it end with 1), and left the file's text and the names in its
// directory.
struct Outcome { std::string printed, report, text; std::vector<std::string> names; };
inline void expect_run(const RunResult& result, const std::string& path, const Outcome& expected) {
  EXPECT_TRUE(is_report(result.output, expected.printed, expected.report)) << ::testing::PrintToString(result.output);
  EXPECT_EQ(result.status, expected.report.empty() ? 0 : 1);
  const std::string text = read_file(path);
  EXPECT_TRUE(text == expected.text) << text.size() << " bytes, not " << expected.text.size();
  EXPECT_EQ(ScratchDir::names_in(std::filesystem::path(path).parent_path().string()), expected.names);
}

// Records what the tool writes to standard output (on a channel of its own
// while it lives) and fails chosen calls.
class FakeSystem : public platform::Seam, public OutputSink {
 public:
  FakeSystem() {
    platform::install_seam(this);
    standard_channel() = OutputChannel(*this);
  }
  ~FakeSystem() override {
    standard_channel() = OutputChannel();
    take_pending_io_error();
    platform::install_seam(nullptr);
  }
  // Makes the `occurrence`-th call (from 1) of `call` fail with `code` (when
  // not 0), running `action` (if any) just before it reaches the system.
  void fail_on(platform::Call call, int occurrence, platform::ErrorCode code, std::function<void()> action = {}) {
    planned_.push_back({call, occurrence, code, std::move(action)});
  }
  platform::ErrorCode fail(platform::Call call) override {
    if (call == platform::Call::kAllocate) return ++allocations == nth_allocation ? platform::kErrorNotEnoughMemory : 0;
    if (call != platform::Call::kClose && ++calls == nth_call) return failed = call, platform::kErrorAccessDenied;
    const int seen = ++counts_[static_cast<int>(call)];
    platform::ErrorCode code = 0;
    for (const Planned& p : planned_) {
      if (p.call == call && p.occurrence == seen && p.action) p.action();
      if (p.call == call && p.occurrence == seen && p.code != 0) code = p.code;
    }
    return code;
  }
  platform::FileType type() override { return stdout_type; }
  platform::ErrorCode write(std::string_view bytes) override {  // fails as a planned kWrite does
    const platform::ErrorCode code = fail(platform::Call::kWrite);
    if (code == 0) output += bytes, writes.push_back(bytes.size());
    return code;
  }

  platform::FileType stdout_type = platform::FileType::kDisk;
  std::string output;                // all that the system took
  std::vector<std::size_t> writes;   // the size of each write it took
  // When not 0, the n-th call of any kind (closes and allocations not
  // counted), or the n-th allocation, fails; calls and allocations are counted.
  int nth_call = 0, nth_allocation = 0, calls = 0, allocations = 0;
  platform::Call failed = platform::Call::kAllocate;  // the call made to fail, once one is

 private:
  struct Planned { platform::Call call; int occurrence; platform::ErrorCode code; std::function<void()> action; };
  std::vector<Planned> planned_;
  int counts_[48] = {};
};

#ifndef _WIN32
inline const Args kAsNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

// The ways a save goes: a temporary file renamed over the hosts file, a
// journalled rewrite in place (for a file with a second name), or, for a text
// already in its written form, a journalled append; each a block. And an
// unblock of a line in the middle of a text in its written form: renamed too,
// its text copied from the file itself; and of its last line, which cuts the
// file short in place. Where a route writes in place, the file has a second
// name, which the next run comes by.
struct Route { const char* name; bool hard_link, written_form; const char* mode; bool last = false; };
inline const Route kRoutes[] = {{"rename", false, false, "/B"},
                                {"in place", true, false, "/B"},
                                {"append", true, true, "/B"},
                                {"copied", false, true, "/U"},
                                {"cut", false, true, "/U", true}};
inline void PrintTo(const Route& route, std::ostream* out) { *out << route.name; }

// A hosts file (`name` in `dir`) of `lines` lines ready for `route`: its
// text, the same in written form, the text a run of `route.mode` with
// killed.example.com leaves, the entries of its directory, and the name the
// next run comes by (its second name, where it has one).
struct Hosts { std::string path, before, written, after; Args entries; std::string next; };
inline Hosts make_hosts(const std::string& dir, const Route& route, int lines, const std::string& name = "hosts") {
  Hosts h{dir + "/" + name, "", "", "", {"hosts"}, dir + "/" + name};
  const bool unblocks = route.mode == std::string("/U");
  for (int i = 0; i < lines; ++i) {
    const std::string line = "0.0.0.0 tracker" + std::to_string(i) + ".example.net";
    h.before += line + (route.written_form ? "\r\n" : "\n");
    h.written += line + "\r\n";
    h.after += line + "\r\n";
    if (unblocks && i == (route.last ? lines - 1 : lines / 2)) h.before += entry("KILLED.EXAMPLE.COM"), h.written += entry("KILLED.EXAMPLE.COM");
  }
  if (!unblocks) h.after += entry("KILLED.EXAMPLE.COM");
  write_file(h.path, h.before);
  if (route.hard_link) std::filesystem::create_hard_link(h.path, h.next = dir + "/link"), h.entries.push_back("link");
  return h;
}

// Gives this process mounts of its own, which its children see and nobody
// else does; false where that cannot be had (not root).
inline bool private_mounts() {
  return geteuid() == 0 && unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}
inline bool bind(const std::string& from, const std::string& to) {
  return ::mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

// The same call and flag on both: XFS_IOC_GOINGDOWN, XFS_FSOP_GOING_FLAGS_NOLOGFLUSH.
inline constexpr unsigned long kShutdown = _IOR('X', 125, std::uint32_t);  // EXT4_IOC_SHUTDOWN
inline constexpr std::uint32_t kNoLogFlush = 2;                             // EXT4_GOING_FLAGS_NOLOGFLUSH

// An image of a file system of `type` on a loop device, mounted in this
// process's own namespace. No timed commit comes between a run and the cut:
// only what the run itself made durable survives it.
struct Disk {
  Disk(const ScratchDir& dir, std::string type)
      : type(std::move(type)), image(dir.file("image")), mount_point(dir.file("mnt")), stand_in(dir.file("stand-in")) {}
  ~Disk() {
    if (mounted) umount2(mount_point.c_str(), MNT_DETACH);
    if (!stand_in_device.empty()) run({"losetup", "-d", stand_in_device});
  }
  // False where the file system cannot be had here: not root, no mount
  // namespace of its own, no mkfs or no loop device.
  bool make() {
    if (!private_mounts()) return false;
    std::filesystem::create_directory(mount_point);
    const Args mkfs = type == "ext4" ? Args{"mkfs.ext4", "-q", "-F", image} : Args{"mkfs." + type, "-q", "-f", image};
    return run({"truncate", "-s", "320M", image}).status == 0 && run({"truncate", "-s", "1M", stand_in}).status == 0 &&
           run(mkfs).status == 0 && mount();
  }
  bool mount() {
    const char* options = type == "ext4" ? "loop,commit=600" : "loop";
    return mounted = run({"mount", "-t", type, "-o", options, image, mount_point}).status == 0;
  }
  // Cuts the power, and mounts the file system again on another device, as a
  // machine that starts again may find its disks in another order.
  bool cut() {
    const int fd = open(mount_point.c_str(), O_RDONLY | O_DIRECTORY);
    std::uint32_t flags = kNoLogFlush;
    EXPECT_EQ(ioctl(fd, kShutdown, &flags), 0) << "cannot shut the file system down";
    close(fd);
    EXPECT_EQ(umount2(mount_point.c_str(), 0), 0);
    mounted = false;
    const RunResult device = run({"losetup", "--find", "--show", stand_in});  // takes the device just let go
    if (!stand_in_device.empty()) run({"losetup", "-d", stand_in_device});
    stand_in_device = device.output.substr(0, device.output.find('\n'));
    return mount();
  }
  std::string type, image, mount_point, stand_in, stand_in_device;
  bool mounted = false;
};

// The prefix that runs a program under strace, which stops it with `signal`
// on entry to the `occurrence`-th call named `call`.
inline Args stopped_at(const std::string& call, int occurrence, int signal = SIGKILL) {
  const std::string at = call + ":signal=" + std::to_string(signal) + ":when=" + std::to_string(occurrence);
  return {"strace", "-f", "-qq", "-o", "/dev/null", "-e", "inject=" + at};
}

// Starts a shell (behind `prefix`) that opens `files` as 3, 4, ..., takes the
// `locks` on them and holds them until it is killed; returns once the first
// file is locked.
inline int hold_locks(const Args& prefix, const std::string& locks, const Args& files) {
  const int pid = start(prefix + Args{"sh", "-c", locks + " && exec sleep 60", "sh"} + files);
  while (run({"flock", "-n", "-x", files[0], "true"}).status == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return pid;
}
inline int release(int pid) { return kill(pid, SIGKILL), finish(pid); }

// The process that `pid` (a program under strace) started, once it has.
inline int child_of(int pid) {
  for (;;) {
    std::istringstream children(read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
    if (int child = 0; children >> child) return child;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// The calls `argv` makes, as strace counts them, from the first one that
// names `place` on: each call's name, how many of that name came before it
// and one, and its line of the trace.
struct TracedCall { std::string name; int occurrence; std::string line; };
inline std::vector<TracedCall> traced_calls(const Args& argv, const std::string& place) {
  const std::string trace = place + ".trace";
  EXPECT_EQ(run(Args{"strace", "-f", "-qq", "-o", trace} + argv).status, 0);
  std::istringstream lines(read_file(trace));
  std::filesystem::remove(trace);
  const std::regex call(R"(^[0-9]+ +([a-z0-9_]+)\()");
  std::vector<TracedCall> calls;
  std::map<std::string, int> seen;
  bool reached = false;
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (!std::regex_search(line, match, call)) continue;
    const std::string name = match[1];
    const int occurrence = ++seen[name];
    reached = reached || (name != "execve" && line.find(place) != std::string::npos);
    if (reached) calls.push_back({name, occurrence, line});
  }
  return calls;
}
#endif

}  // namespace tarnwick::testing
