// Splits arbitrary NUL-free text into lines, joins them and splits again: the
// lines must come back the same, and the join must not depend on whether the
// list was asked for its lines one by one first.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/hosts_file.h"

// The lines of `text`, asked for one by one, or none; the list keeps them.
static std::vector<std::string> cut(std::string_view text, tarnwick::LineList& list, bool indexed) {
  tarnwick::Bytes bytes = tarnwick::Bytes::allocate(text.size());
  if (!text.empty()) std::memcpy(bytes.data(), text.data(), text.size());
  tarnwick::split_text(std::move(bytes), list);
  std::vector<std::string> lines;
  for (std::int64_t i = 0; indexed && i < list.count(); ++i) lines.emplace_back(list.get(i));
  return lines;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (text.find('\0') != std::string_view::npos) return 0;
  tarnwick::LineList on_text, indexed, again;
  cut(text, on_text, false);
  const std::vector<std::string> lines = cut(text, indexed, true);
  const tarnwick::Bytes joined = tarnwick::join_lines(on_text);
  if (tarnwick::join_lines(indexed).view() != joined.view() || cut(joined.view(), again, true) != lines) std::abort();
  return 0;
}
