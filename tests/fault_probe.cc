// Makes one real processor fault (or an early runtime error), chosen by its
// first argument, so that tests can check the report the failure services
// write. With a second, it faults while it holds that file's run lock, as a
// run does while it saves.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "support/failure.h"
#include "support/lifecycle.h"

namespace {

volatile int g_zero = 0;
volatile int g_ten = 10;
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
  const tarnwick::platform::Handle file = tarnwick::platform::open_for_reading(path.c_str());
  const char* volatile text = tarnwick::platform::map_file(file, 65536);
  std::filesystem::resize_file(path, 0);
  std::filesystem::remove(path);
  return text == nullptr ? 0 : text[40000];
}

int fault(const char* what) {
  if (std::strcmp(what, "mapped-file-shrunk") == 0) return read_shrunk_mapping();
  if (std::strcmp(what, "null-read") == 0) return *g_null;
  if (std::strcmp(what, "bad-write") == 0) *g_bad = 1;
  if (std::strcmp(what, "divide-by-zero") == 0) return g_ten / g_zero;
  if (std::strcmp(what, "stack-overflow") == 0) return recurse(0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  if (std::strcmp(argv[1], "early-out-of-memory") == 0) {
    tarnwick::runtime_error(tarnwick::RuntimeCondition::kOutOfMemory, reinterpret_cast<void*>(&main));
  }
  tarnwick::start_up(argc, argv);
  tarnwick::platform::Site site;
  if (argc > 2 && !(tarnwick::platform::locate(argv[2], site) && tarnwick::platform::lock_run(site) >= 0)) return 3;
  try {
    fault(argv[1]);
  } catch (const tarnwick::Failure& failure) {
    tarnwick::report_failure(failure);
  }
  tarnwick::end_run(0);
}
