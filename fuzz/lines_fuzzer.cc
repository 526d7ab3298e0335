// Splits arbitrary NUL-free text into lines, joins them and splits again: the
// lines must come back the same. The list must also answer the same whether
// it works on its text or on its index of lines.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "support/hosts_file.h"

namespace {

tarnwick::Bytes copy_of(std::string_view text) {
  tarnwick::Bytes bytes = tarnwick::Bytes::allocate(text.size());
  if (!text.empty()) std::memcpy(bytes.data(), text.data(), text.size());
  return bytes;
}

std::vector<std::string> lines_of(const tarnwick::LineList& list) {
  std::vector<std::string> lines;
  for (std::int64_t i = 0; i < list.count(); ++i) lines.emplace_back(list.get(i));
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The first byte picks a needle out of the text; the rest is the text.
  if (size == 0) return 0;
  std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (text.find('\0') != std::string_view::npos) return 0;
  const std::string_view needle = text.substr(data[0] % (text.size() + 1), data[0] % 5);

  tarnwick::LineList on_text;
  tarnwick::split_text(copy_of(text), on_text);
  const std::int64_t found = on_text.find_last(needle);
  const tarnwick::Bytes joined = tarnwick::join_lines(on_text);

  tarnwick::LineList indexed;
  tarnwick::split_text(copy_of(text), indexed);
  const std::vector<std::string> lines = lines_of(indexed);
  if (indexed.find_last(needle) != found) std::abort();
  if (tarnwick::join_lines(indexed).view() != joined.view()) std::abort();

  tarnwick::LineList again;
  tarnwick::split_text(copy_of(joined.view()), again);
  if (lines_of(again) != lines) std::abort();
  return 0;
}
