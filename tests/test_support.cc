#include "test_support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "support/output_channel.h"

namespace tarnwick::testing {

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
  static std::mt19937_64 random{std::random_device{}()};
  do {
    path_ = (fs::temp_directory_path() / ("tarnwick-test-" + std::to_string(random()))).string();
  } while (!fs::create_directory(path_));
  fs::permissions(path_, fs::perms::all);  // an unprivileged user works in it too
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string ScratchDir::file(const std::string& name) const { return (fs::path(path_) / name).string(); }

std::vector<std::string> ScratchDir::entries() const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(path_)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string read_file(const std::string& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

void write_file(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::string banner() {
  return "TARNWICK - blocks and unblocks host names in the hosts file, version " TARNWICK_VERSION "\r\n\r\n";
}

bool is_report(const std::string& output, const std::string& head, const std::string& report) {
  if (report.empty()) return output == banner() + head;
  const std::size_t blank = report.find(' ');
  const std::string start = banner() + head + "Exception " + report.substr(0, blank) + " in module " +
                            fs::path(tool()).filename().string() + " at ";
  const std::string end = ".\n" + report.substr(blank + 1) + ".\r\n";
  return output.size() == start.size() + 8 + end.size() && output.starts_with(start) && output.ends_with(end) &&
         output.find_first_not_of("0123456789ABCDEF", start.size()) == start.size() + 8;
}

FakeSystem::FakeSystem() {
  platform::install_seam(this);
  standard_channel() = OutputChannel(*this);
}

FakeSystem::~FakeSystem() {
  standard_channel() = OutputChannel();
  take_pending_io_error();
  platform::install_seam(nullptr);
}

platform::ErrorCode FakeSystem::fail(platform::Call call) {
  if (call == platform::Call::kAllocate) return ++allocations == nth_allocation ? platform::kErrorNotEnoughMemory : 0;
  if (call != platform::Call::kClose && ++calls == nth_call) return platform::kErrorAccessDenied;
  const int seen = ++counts_[static_cast<int>(call)];
  platform::ErrorCode code = 0;
  for (const Planned& p : planned_) {
    if (p.call != call || p.occurrence != seen) continue;
    if (p.action) p.action();
    if (p.code != 0) code = p.code;
  }
  return code;
}

platform::ErrorCode FakeSystem::write(std::string_view bytes) {
  const platform::ErrorCode code = fail(platform::Call::kWrite);
  if (code == 0) writes.emplace_back(bytes);
  return code;
}

std::string FakeSystem::output() const {
  std::string all;
  for (const std::string& w : writes) all += w;
  return all;
}

}  // namespace tarnwick::testing
