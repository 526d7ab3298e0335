#include "test_support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
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

std::string ScratchDir::file(const std::string& name) const {
  return (fs::path(path_) / name).string();
}

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

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string banner() {
  return "TARNWICK - blocks and unblocks host names in the hosts file, version " TARNWICK_VERSION "\r\n\r\n";
}

bool is_report(const std::string& output, const std::string& head, const std::string& kind,
               const std::string& text) {
  const auto literally = [](const std::string& s) {
    return std::regex_replace(s, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
  };
#ifdef _WIN32
  const std::string module = "tarnwick\\.exe";
#else
  const std::string module = "tarnwick";
#endif
  return std::regex_match(output, std::regex(literally(banner() + head) + "Exception " + kind + " in module " +
                                             module + " at [0-9A-F]{8}\\.\n" + literally(text) + "\\.\r\n"));
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

void FakeSystem::fail_on(platform::Call call, int occurrence, platform::ErrorCode code) {
  planned_.push_back({call, occurrence, code, nullptr});
}

void FakeSystem::before(platform::Call call, int occurrence, std::function<void()> action) {
  planned_.push_back({call, occurrence, 0, std::move(action)});
}

platform::ErrorCode FakeSystem::fail(platform::Call call) {
  if (call == platform::Call::kAllocate) return ++allocations_ == nth_allocation_ ? platform::kErrorNotEnoughMemory : 0;
  if (call != platform::Call::kClose && ++calls_ == nth_call_) return platform::kErrorAccessDenied;
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
  if (const platform::ErrorCode code = fail(platform::Call::kWrite)) return code;
  writes.emplace_back(bytes);
  return 0;
}

std::string FakeSystem::output() const {
  std::string all;
  for (const std::string& w : writes) all += w;
  return all;
}

}  // namespace tarnwick::testing
