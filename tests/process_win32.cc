// Running programs from the tests, on Windows (also under Wine).
#include <windows.h>

#include <stdexcept>

#include "test_support.h"

namespace tarnwick::testing {

// The build system names files by their POSIX paths; under Wine drive Z: is /.
std::string native_path(const std::string& path) {
  std::string native = path.starts_with("/") ? "Z:" + path : path;
  std::replace(native.begin(), native.end(), '/', '\\');
  return native;
}

std::string tool() { return native_path(TARNWICK_BINARY); }
std::string probe() { return native_path(FAULT_PROBE); }

namespace {

SECURITY_ATTRIBUTES g_inherited{sizeof g_inherited, nullptr, TRUE};

// Starts a raw command line with standard output to `output`, which it
// closes here; gives the process. A process handle, like every kernel handle,
// fits in 32 bits.
int spawn(std::string line, HANDLE output) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
  CloseHandle(output);
  if (!started) throw std::runtime_error("cannot start " + line);
  CloseHandle(process.hThread);
  return static_cast<int>(reinterpret_cast<std::intptr_t>(process.hProcess));
}

// Arguments with blanks or control bytes, and empty ones, go in quotes, as a
// shell would pass them.
std::string command_line_of(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& argument : argv) {
    const bool plain = !argument.empty() && std::ranges::none_of(argument, [](unsigned char c) { return c >= 1 && c <= 32; });
    line += (line.empty() ? "" : " ") + (plain ? argument : "\"" + argument + "\"");
  }
  return line;
}

}  // namespace

RunResult run_command_line(const std::string& line) {
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &g_inherited, 0)) throw std::runtime_error("CreatePipe failed");
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  const int process = spawn(line, write_end);
  std::string output;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) output.append(buffer, got);
  CloseHandle(read_end);
  return {output, finish(process)};
}

RunResult run(const std::vector<std::string>& argv) { return run_command_line(command_line_of(argv)); }

// Standard output always goes to the null device here.
int start(const std::vector<std::string>& argv, int) {
  return spawn(command_line_of(argv), CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &g_inherited, OPEN_EXISTING, 0, nullptr));
}

int finish(int pid) {
  const HANDLE process = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(pid));
  WaitForSingleObject(process, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process, &status);
  CloseHandle(process);
  return static_cast<int>(status);
}

}  // namespace tarnwick::testing
