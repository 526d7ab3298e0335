// Helpers shared by the tests: scratch directories, files, running the tool.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
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
  // The names of the entries in the directory, sorted.
  std::vector<std::string> entries() const;

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

struct RunResult {
  std::string output;  // everything written to standard output
  int status = -1;     // exit status, or 128 + signal
};

// The built programs, as this system names them.
std::string tool_binary();
std::string probe_binary();

// Runs `argv` (argv[0] is the program) with standard output captured. `prefix`
// is prepended to argv, e.g. to change the user.
RunResult run_program(const std::vector<std::string>& argv);
#ifdef _WIN32
// Runs a raw command line, exactly as given, with standard output captured.
RunResult run_command_line(const std::string& line);
// A path as the build names it, as this system names it (under Wine, drive Z:).
std::string native_path(const std::string& path);
#endif
RunResult run_tool(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& prefix = {});

// Starts `argv` with standard output discarded; gives its process id.
int start_program(const std::vector<std::string>& argv);
// Waits for a started program: its exit status, or 128 + signal.
int wait_program(int pid);
// Sends SIGKILL.
void kill_program(int pid);
#ifndef _WIN32
void signal_program(int pid, int signal);
// Sets an extended attribute; reads one back ("" when it is missing).
void set_attribute(const std::string& path, const std::string& name, const std::string& value);
std::string attribute(const std::string& path, const std::string& name);
// Gives a file to the unprivileged user "nobody".
void give_to_nobody(const std::string& path);
#endif
// Sleeps for `microseconds`.
void pause_for(int microseconds);

bool running_as_root();
// Wine cannot hand a stack overflow to the program's own handler.
bool running_under_wine();
// A prefix that runs a program as the unprivileged user "nobody".
std::vector<std::string> as_nobody();

// The banner and the empty line that open every run.
std::string banner();

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
  // Makes the n-th system call of any kind fail (closes and allocations not
  // counted), with an error code typical of that call.
  void fail_nth_call(int n) { nth_call_ = n; }
  // Makes the n-th allocation fail.
  void fail_nth_allocation(int n) { nth_allocation_ = n; }
  int calls() const { return calls_; }
  int allocations() const { return allocations_; }

  platform::ErrorCode fail(platform::Call call) override;
  platform::FileType type() override { return stdout_type; }
  // Fails as a planned kWrite does.
  platform::ErrorCode write(std::string_view bytes) override;

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
