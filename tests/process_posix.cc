// Running programs from the tests, on POSIX.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "test_support.h"

extern char** environ;

namespace tarnwick::testing {

std::string tool_binary() { return TARNWICK_BINARY; }
std::string probe_binary() { return FAULT_PROBE; }

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
  argv.push_back(tool_binary());
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

bool running_under_wine() { return false; }

std::vector<std::string> as_nobody() {
  return {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
}

}  // namespace tarnwick::testing
