// Makes one real processor fault (or an early runtime error), chosen by its
// argument, so that tests can check the report the failure services write.
#include <cstring>

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

int fault(const char* what) {
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
  tarnwick::start_up();
  try {
    fault(argv[1]);
  } catch (const tarnwick::Failure& failure) {
    tarnwick::report_failure(failure);
  }
  tarnwick::end_run(0);
}
