// Helpers shared by the tests: scratch directories, files, running programs,
// and a fake system behind the platform seam.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/seam.h"
#include "support/output_sink.h"

namespace tarnwick::testing {

// A fresh directory, removed with everything in it when the object goes.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const;
  std::vector<std::string> entries() const;  // sorted
  std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

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
bool running_under_wine();
#endif

// The banner and the empty line that open every run.
std::string banner();
// True when `output` is the banner, `head`, then, for a `report` "KIND TEXT",
// "Exception KIND in module tarnwick at XXXXXXXX." LF TEXT "." CR LF.
bool is_report(const std::string& output, const std::string& head, const std::string& report = "");

// Records what the tool writes to standard output (also starting a fresh
// output channel) and fails chosen calls.
class FakeSystem : public platform::Seam, public OutputSink {
 public:
  FakeSystem();
  ~FakeSystem() override;
  // Makes the `occurrence`-th call (from 1) of `call` fail with `code`, or
  // runs `action` just before it reaches the system.
  void fail_on(platform::Call call, int occurrence, platform::ErrorCode code) { planned_.push_back({call, occurrence, code, {}}); }
  void before(platform::Call call, int occurrence, std::function<void()> action) {
    planned_.push_back({call, occurrence, 0, std::move(action)});
  }
  platform::ErrorCode fail(platform::Call call) override;
  platform::FileType type() override { return stdout_type; }
  platform::ErrorCode write(std::string_view bytes) override;  // fails as a planned kWrite does
  std::string output() const;

  platform::FileType stdout_type = platform::FileType::kDisk;
  std::vector<std::string> writes;  // one entry per write the system got
  // When not 0, the n-th call of any kind (closes and allocations not
  // counted), or the n-th allocation, fails; calls and allocations are counted.
  int nth_call = 0, nth_allocation = 0, calls = 0, allocations = 0;

 private:
  struct Planned { platform::Call call; int occurrence; platform::ErrorCode code; std::function<void()> action; };
  std::vector<Planned> planned_;
  int counts_[32] = {};
};

}  // namespace tarnwick::testing
