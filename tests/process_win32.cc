// Running programs from the tests, on Windows (also under Wine).
#include <windows.h>

#include <stdexcept>

#include "test_support.h"

namespace tarnwick::testing {

// The build system names files by their POSIX paths; under Wine drive Z: is /.
std::string native_path(const std::string& path) {
  if (path.empty() || path[0] != '/') return path;
  std::string native = "Z:" + path;
  for (char& c : native) c = c == '/' ? '\\' : c;
  return native;
}

std::string tool() { return native_path(TARNWICK_BINARY); }
std::string probe() { return native_path(FAULT_PROBE); }

bool running_under_wine() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

namespace {

HANDLE null_device(DWORD access) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileA("NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
}

// Starts a raw command line with standard output to `output`; gives the process.
HANDLE spawn(std::string line, HANDLE output) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_device(GENERIC_READ);
  startup.hStdOutput = output;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  const BOOL started =
      CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
  CloseHandle(startup.hStdInput);
  CloseHandle(output);
  if (!started) throw std::runtime_error("cannot start " + line);
  CloseHandle(process.hThread);
  return process.hProcess;
}

// Arguments with blanks or control bytes, and empty ones, go in quotes, as a
// shell would pass them.
std::string command_line_of(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& argument : argv) {
    bool plain = !argument.empty();
    for (char c : argument) plain = plain && !(c >= 1 && static_cast<unsigned char>(c) <= 32);
    line += (line.empty() ? "" : " ") + (plain ? argument : "\"" + argument + "\"");
  }
  return line;
}

int wait_for(HANDLE process) {
  WaitForSingleObject(process, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process, &status);
  CloseHandle(process);
  return static_cast<int>(status);
}

}  // namespace

RunResult run_command_line(const std::string& line) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  const HANDLE process = spawn(line, write_end);
  RunResult result;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) result.output.append(buffer, got);
  CloseHandle(read_end);
  result.status = wait_for(process);
  return result;
}

RunResult run(const std::vector<std::string>& argv) { return run_command_line(command_line_of(argv)); }

// Standard output always goes to the null device here. A process handle,
// like every kernel handle, fits in 32 bits.
int start(const std::vector<std::string>& argv, int) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(spawn(command_line_of(argv), null_device(GENERIC_WRITE))));
}

int finish(int pid) { return wait_for(reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(pid))); }

}  // namespace tarnwick::testing
