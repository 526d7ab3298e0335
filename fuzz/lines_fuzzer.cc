// Splits arbitrary NUL-free text into lines, joins them and splits again: the
// lines must come back the same. The list must also answer the same whether
// it works on its text or on its index of lines.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/hosts_file.h"

namespace {

// The list cut from `text`; `indexed` asks for every line once.
std::vector<std::string> cut(std::string_view text, tarnwick::LineList& list, bool indexed) {
  tarnwick::Bytes bytes = tarnwick::Bytes::allocate(text.size());
  if (!text.empty()) std::memcpy(bytes.data(), text.data(), text.size());
  tarnwick::split_text(std::move(bytes), list);
  std::vector<std::string> lines;
  for (std::int64_t i = 0; indexed && i < list.count(); ++i) lines.emplace_back(list.get(i));
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The first byte picks a needle out of the text; the rest is the text.
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (text.find('\0') != std::string_view::npos) return 0;
  const std::string_view needle = text.substr(data[0] % (text.size() + 1), data[0] % 5);
  tarnwick::LineList on_text, indexed, again;
  cut(text, on_text, false);
  const std::vector<std::string> lines = cut(text, indexed, true);
  const tarnwick::Bytes joined = tarnwick::join_lines(on_text);
  if (indexed.find_last(needle) != on_text.find_last(needle)) std::abort();
  if (tarnwick::join_lines(indexed).view() != joined.view()) std::abort();
  if (cut(joined.view(), again, true) != lines) std::abort();
  return 0;
}
