// Splits arbitrary NUL-free text into lines and holds the list to the plain
// model the line list's tests use (tests/line_model.h): its lines, the last
// line holding a needle, and the joined text after that line is removed. The
// first byte picks the needle.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "line_model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (text.find('\0') != std::string_view::npos) return 0;
  const std::string_view needle = text.substr(data[0] % (text.size() + 1), data[0] % 5);
  tarnwick::Bytes bytes = tarnwick::Bytes::allocate(text.size());
  if (!text.empty()) std::memcpy(bytes.data(), text.data(), text.size());
  tarnwick::LineList list;
  tarnwick::split_text(std::move(bytes), list);
  if (!tarnwick::testing::differs_from_model(list, text, needle).empty()) std::abort();
  return 0;
}
