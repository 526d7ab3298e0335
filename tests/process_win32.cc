// Running programs from the tests, on Windows (also under Wine).
#include <windows.h>

#include <algorithm>
#include <map>
#include <stdexcept>

#include "test_support.h"

namespace tarnwick::testing {

// The build system names files by their POSIX paths; under Wine drive Z: is /.
std::string native_path(const std::string& posix_path) {
  std::string path = posix_path;
  if (path.empty() || path[0] != '/') return path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  std::string native = "Z:";
  native += path;
  return native;
}

namespace {

// Arguments with blanks or control bytes, and empty ones, go in quotes, as a
// shell would pass them.
std::string quote(const std::string& argument) {
  const bool plain = std::none_of(argument.begin(), argument.end(), [](char c) {
    return c >= 1 && static_cast<unsigned char>(c) <= 32;
  });
  if (!argument.empty() && plain) return argument;
  std::string quoted = "\"";
  quoted += argument;
  quoted += '"';
  return quoted;
}

std::string command_line_of(const std::vector<std::string>& argv) {
  std::string line;
  for (const std::string& argument : argv) {
    if (!line.empty()) line += ' ';
    line += quote(argument);
  }
  return line;
}

HANDLE null_device(DWORD access) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileA("NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
}

std::map<int, HANDLE> g_started;

}  // namespace

std::string tool_binary() { return native_path(TARNWICK_BINARY); }
std::string probe_binary() { return native_path(FAULT_PROBE); }

RunResult run_command_line(const std::string& line) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) throw std::runtime_error("CreatePipe failed");
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_device(GENERIC_READ);
  startup.hStdOutput = write_end;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  std::string mutable_line = line;
  const BOOL started = CreateProcessA(nullptr, mutable_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &process);
  CloseHandle(write_end);
  CloseHandle(startup.hStdInput);
  if (!started) {
    CloseHandle(read_end);
    throw std::runtime_error("cannot start " + line);
  }
  RunResult result;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) result.output.append(buffer, got);
  CloseHandle(read_end);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process.hProcess, &status);
  result.status = static_cast<int>(status);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return result;
}

RunResult run_program(const std::vector<std::string>& argv) { return run_command_line(command_line_of(argv)); }

RunResult run_tool(const std::vector<std::string>& arguments, const std::vector<std::string>& prefix) {
  std::vector<std::string> argv = prefix;
  argv.push_back(tool_binary());
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run_program(argv);
}

int start_program(const std::vector<std::string>& argv) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_device(GENERIC_READ);
  startup.hStdOutput = null_device(GENERIC_WRITE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  std::string line = command_line_of(argv);
  const BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                      &startup, &process);
  CloseHandle(startup.hStdInput);
  CloseHandle(startup.hStdOutput);
  if (!started) throw std::runtime_error("cannot start " + line);
  CloseHandle(process.hThread);
  g_started[static_cast<int>(process.dwProcessId)] = process.hProcess;
  return static_cast<int>(process.dwProcessId);
}

int wait_program(int pid) {
  const HANDLE process = g_started.at(pid);
  WaitForSingleObject(process, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(process, &status);
  CloseHandle(process);
  g_started.erase(pid);
  return static_cast<int>(status);
}

void kill_program(int pid) { TerminateProcess(g_started.at(pid), 128 + 9); }

void pause_for(int microseconds) { Sleep(static_cast<DWORD>(microseconds / 1000)); }

bool running_as_root() { return false; }

bool running_under_wine() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::vector<std::string> as_nobody() { return {}; }

}  // namespace tarnwick::testing
