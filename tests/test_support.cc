#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/output_channel.h"

extern char** environ;

namespace tarnwick::testing {

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarnwick-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  // Let an unprivileged user work in it too.
  std::filesystem::permissions(path_, std::filesystem::perms::all);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> ScratchDir::entries() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

RunResult run_program(const std::vector<std::string>& argv) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (error != 0) {
    close(pipe_fds[0]);
    throw std::runtime_error("cannot start " + argv[0]);
  }
  RunResult result;
  char buffer[4096];
  ssize_t n;
  while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, n);
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

RunResult run_tool(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& prefix) {
  std::vector<std::string> argv = prefix;
  argv.push_back(TARNWICK_BINARY);
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run_program(argv);
}

int start_program(const std::vector<std::string>& argv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start " + argv[0]);
  return pid;
}

int wait_program(int pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void kill_program(int pid) { kill(pid, SIGKILL); }

void pause_for(int microseconds) { usleep(static_cast<useconds_t>(microseconds)); }

bool running_as_root() { return geteuid() == 0; }

std::vector<std::string> as_nobody() {
  return {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
}

std::string banner() {
  return "TARNWICK - blocks and unblocks host names in the hosts file, version " TARNWICK_VERSION
         "\r\n\r\n";
}

FakeSystem::FakeSystem() {
  platform::install_seam(this);
  standard_channel() = OutputChannel();
}

FakeSystem::~FakeSystem() {
  standard_channel() = OutputChannel();
  take_pending_io_error();
  platform::install_seam(nullptr);
}

void FakeSystem::fail_on(platform::Call call, int occurrence, platform::ErrorCode code) {
  planned_.push_back({call, occurrence, code});
}

namespace {

platform::ErrorCode typical_error(platform::Call call) {
  using platform::Call;
  switch (call) {
    case Call::kIsExistingFile: return platform::kErrorFileNotFound;
    case Call::kOpenForReading: return platform::kErrorSharingViolation;
    case Call::kRead:
    case Call::kSync: return platform::kErrorIoDevice;
    case Call::kWrite:
    case Call::kWriteAt:
    case Call::kTruncate: return platform::kErrorDiskFull;
    case Call::kResolveTarget: return platform::kErrorPathNotFound;
    case Call::kStandardOutput:
    case Call::kFileType:
    case Call::kSeek: return platform::kErrorInvalidHandle;
    case Call::kMapFile:
    case Call::kDetachMapping:
    case Call::kAllocate: return platform::kErrorNotEnoughMemory;
    default: return platform::kErrorAccessDenied;
  }
}

}  // namespace

platform::ErrorCode FakeSystem::fail(platform::Call call) {
  if (call == platform::Call::kAllocate) {
    return ++allocations_ == nth_allocation_ ? typical_error(call) : 0;
  }
  if (call != platform::Call::kClose && ++calls_ == nth_call_) return typical_error(call);
  const int seen = ++counts_[static_cast<int>(call)];
  for (const Planned& p : planned_) {
    if (p.call == call && p.occurrence == seen) return p.code;
  }
  return 0;
}

platform::ErrorCode FakeSystem::write_standard_output(std::string_view bytes) {
  writes.emplace_back(bytes);
  return 0;
}

std::string FakeSystem::output() const {
  std::string all;
  for (const std::string& w : writes) all += w;
  return all;
}

}  // namespace tarnwick::testing
