// Splits arbitrary NUL-free text into lines and holds the list to the plain
// model the line list's tests use (tests/line_model.h): its lines, the last
// line holding a needle, and the joined text after that line is removed. The
// first byte picks the needle.
#include <cstdint>
#include <cstdlib>

#include "line_model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!tarnwick::testing::differs_on_input({reinterpret_cast<const char*>(data), size}).empty()) std::abort();
  return 0;
}
