#include "test_support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "support/output_channel.h"

namespace tarnwick::testing {

ScratchDir::ScratchDir() {
  static std::mt19937_64 random{std::random_device{}()};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto candidate = std::filesystem::temp_directory_path() / ("tarnwick-test-" + std::to_string(random()));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate.string();
      // Let an unprivileged user work in it too.
      std::filesystem::permissions(path_, std::filesystem::perms::all);
      return;
    }
  }
  throw std::runtime_error("cannot make a scratch directory");
}

std::string ScratchDir::file(const std::string& name) const {
  return path_ + static_cast<char>(std::filesystem::path::preferred_separator) + name;
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

std::string banner() {
  return "TARNWICK - blocks and unblocks host names in the hosts file, version " TARNWICK_VERSION
         "\r\n\r\n";
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
    case Call::kLocate: return platform::kErrorPathNotFound;
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
