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
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const;
  std::vector<std::string> entries() const;  // sorted

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

// The built programs, as this system names them.
std::string tool();
std::string probe();

struct RunResult {
  std::string output;  // everything written to standard output
  int status = -1;     // exit status, or 128 + signal
};
// Runs `argv` (argv[0] is the program) with standard output captured.
RunResult run(const std::vector<std::string>& argv);
// Starts `argv` with standard output to `output` (the null device when -1).
int start(const std::vector<std::string>& argv, int output = -1);
// Waits for a started program: its exit status, or 128 + signal.
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
// True when `output` is the banner, `head`, then the failure report
// "Exception KIND in module tarnwick at XXXXXXXX." LF TEXT "." CR LF.
bool is_report(const std::string& output, const std::string& head, const std::string& kind,
               const std::string& text);

// Records what the tool writes to standard output and fails chosen calls.
class FakeSystem : public platform::Seam, public OutputSink {
 public:
  // Also starts a fresh standard output channel, which the fake then records.
  FakeSystem();
  ~FakeSystem() override;

  // Makes the `occurrence`-th call (from 1) of `call` fail with `code`.
  void fail_on(platform::Call call, int occurrence, platform::ErrorCode code);
  // Runs `action` just before the `occurrence`-th call of `call` reaches the system.
  void before(platform::Call call, int occurrence, std::function<void()> action);
  // Makes the n-th call of any kind (closes and allocations not counted), or
  // the n-th allocation, fail.
  void fail_nth_call(int n) { nth_call_ = n; }
  void fail_nth_allocation(int n) { nth_allocation_ = n; }
  int calls() const { return calls_; }
  int allocations() const { return allocations_; }

  platform::ErrorCode fail(platform::Call call) override;
  platform::FileType type() override { return stdout_type; }
  platform::ErrorCode write(std::string_view bytes) override;  // fails as a planned kWrite does

  platform::FileType stdout_type = platform::FileType::kDisk;
  std::vector<std::string> writes;  // one entry per write the system got
  std::string output() const;

 private:
  struct Planned {
    platform::Call call;
    int occurrence;
    platform::ErrorCode code;
    std::function<void()> action;
  };
  std::vector<Planned> planned_;
  int counts_[32] = {};
  int nth_call_ = 0;
  int nth_allocation_ = 0;
  int calls_ = 0;
  int allocations_ = 0;
};

}  // namespace tarnwick::testing
