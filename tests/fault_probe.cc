// Makes one real processor fault (or an early runtime error), chosen by its
// first argument, so that tests can check the report the failure services
// write. With a second, it faults while it holds that file's run lock, as a
// run does while it saves.
#include <filesystem>
#include <fstream>
#include <string_view>

#include "platform/platform.h"
#include "failure/lifecycle.h"

namespace {

volatile int g_zero = 0;
volatile int* volatile g_null = nullptr;
volatile int* volatile g_bad = reinterpret_cast<int*>(0x10);

int recurse(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  if (depth == -1) return 0;  // never: the stack runs out first
  return recurse(depth + 1) + frame[0];
}

// Maps a file whole, then cuts it short as another program might, and reads
// on: the page is gone from the file.
int read_shrunk_mapping() {
  const std::string path = (std::filesystem::temp_directory_path() / "tarnwick-probe-mapped").string();
  std::ofstream(path, std::ios::binary) << std::string(65536, 'x');
  const char* volatile text = tarnwick::platform::map_file(tarnwick::platform::open_for_reading(path.c_str()), 65536);
  std::filesystem::resize_file(path, 0);
  std::filesystem::remove(path);
  return text == nullptr ? 0 : text[40000];
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tarnwick;
  const std::string_view fault = argc > 1 ? argv[1] : "";
  if (fault == "early-out-of-memory") runtime_error(RuntimeCondition::kOutOfMemory, reinterpret_cast<void*>(&main));
  start_up();
  platform::Site site;
  if (argc > 2 && !(platform::locate(argv[2], site) && platform::lock_companion(site) >= 0)) return 3;
  if (fault == "mapped-file-shrunk") read_shrunk_mapping();
  if (fault == "null-read") g_zero = *g_null;
  if (fault == "bad-write") *g_bad = 1;
  if (fault == "divide-by-zero") g_zero = 10 / g_zero;
  if (fault == "stack-overflow") recurse(0);
  end_run(0);
}
