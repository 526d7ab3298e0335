// A plain model of the line list: the lines as strings, each ended by CR LF,
// LF, CR or the text's end, byte by byte. The line list's table test and its
// fuzzer hold the list to the same model.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/hosts_file.h"
#include "hosts/line_list.h"

namespace tarnwick::testing {

inline std::vector<std::string> model_split(std::string_view text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find_first_of("\r\n", at), text.size());
    lines.emplace_back(text.substr(at, end - at));
    at = end + (text.substr(end, 2) == "\r\n" ? 2 : 1);
  }
  return lines;
}

inline std::string model_join(const std::vector<std::string>& lines) {
  std::string joined;
  for (const std::string& line : lines) joined += line + "\r\n";
  return joined;
}

// The index of the last line that holds `needle`, or -1.
inline std::int64_t model_find_last(const std::vector<std::string>& lines, std::string_view needle) {
  const auto hit = std::find_if(lines.rbegin(), lines.rend(), [&](const std::string& line) { return line.find(needle) != line.npos; });
  return static_cast<std::int64_t>(lines.rend() - hit) - 1;
}

// Holds `list`, which holds the lines of `text` (and has not changed since),
// to the model: its lines, the last line holding `needle`, and the joined
// text once that line is removed, as unblocking removes it. Gives what
// differs first, or nothing.
inline std::string differs_from_model(LineList& list, std::string_view text, std::string_view needle) {
  std::vector<std::string> model = model_split(text);
  if (list.count() != static_cast<std::int64_t>(model.size())) return "count";
  for (std::size_t i = 0; i < model.size(); ++i) {
    if (list.get(static_cast<std::int64_t>(i)) != model[i]) return "line " + std::to_string(i);
  }
  const std::int64_t last = model_find_last(model, needle);
  if (list.find_last(needle) != last) return "the last line holding the needle";
  if (last < 0) return "";
  list.remove(last);
  model.erase(model.begin() + last);
  return join_lines(list).view() == model_join(model) ? "" : "the text joined after a removal";
}

// The same for a fuzz input: its first byte picks the needle, the rest is
// the text. Texts holding a NUL, which a load refuses, are passed over.
inline std::string differs_on_input(std::string_view input) {
  if (input.empty()) return "";
  const std::string_view text = input.substr(1);
  if (text.find('\0') != text.npos) return "";
  const auto pick = static_cast<unsigned char>(input[0]);
  Bytes bytes = Bytes::allocate(text.size());
  if (!text.empty()) std::memcpy(bytes.data(), text.data(), text.size());
  LineList list;
  split_text(std::move(bytes), list);
  return differs_from_model(list, text, text.substr(pick % (text.size() + 1), pick % 5));
}

}  // namespace tarnwick::testing
