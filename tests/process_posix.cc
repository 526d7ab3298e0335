// Running programs from the tests, on POSIX.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <stdexcept>

#include "test_support.h"

extern char** environ;

namespace tarnwick::testing {

std::string tool_binary() { return TARNWICK_BINARY; }
std::string probe_binary() { return FAULT_PROBE; }

namespace {

// Starts `argv` with standard input from /dev/null and standard output to
// `output` (/dev/null when -1); `unused` is closed in the child.
pid_t spawn(const std::vector<std::string>& argv, int output, int unused) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (unused >= 0) posix_spawn_file_actions_addclose(&actions, unused);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (output >= 0) {
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  // The child starts as from a shell: every signal at its default, none
  // blocked, whatever this process has changed for itself.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int error = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) throw std::runtime_error("cannot start " + argv[0]);
  return pid;
}

}  // namespace

RunResult run_program(const std::vector<std::string>& argv) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");
  pid_t pid;
  try {
    pid = spawn(argv, pipe_fds[1], pipe_fds[0]);
  } catch (...) {
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    throw;
  }
  close(pipe_fds[1]);
  RunResult result;
  char buffer[4096];
  ssize_t n;
  while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, n);
  close(pipe_fds[0]);
  result.status = wait_program(pid);
  return result;
}

RunResult run_tool(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& prefix) {
  std::vector<std::string> argv = prefix;
  argv.push_back(tool_binary());
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run_program(argv);
}

int start_program(const std::vector<std::string>& argv) { return spawn(argv, -1, -1); }

int wait_program(int pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void kill_program(int pid) { kill(pid, SIGKILL); }

void signal_program(int pid, int signal) { kill(pid, signal); }

void set_attribute(const std::string& path, const std::string& name, const std::string& value) {
  if (setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) != 0) {
    throw std::runtime_error("cannot set " + name + " on " + path);
  }
}

void give_to_nobody(const std::string& path) {
  if (lchown(path.c_str(), 65534, 65534) != 0) throw std::runtime_error("cannot give away " + path);
}

std::string attribute(const std::string& path, const std::string& name) {
  char value[256];
  const ssize_t n = getxattr(path.c_str(), name.c_str(), value, sizeof value);
  return n < 0 ? std::string() : std::string(value, static_cast<std::size_t>(n));
}

void pause_for(int microseconds) { usleep(static_cast<useconds_t>(microseconds)); }

bool running_as_root() { return geteuid() == 0; }

bool running_under_wine() { return false; }

std::vector<std::string> as_nobody() {
  return {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
}

}  // namespace tarnwick::testing
