// Splits arbitrary NUL-free text into lines and checks the list against a plain
// byte-by-byte model: its lines, the last line holding a needle, and the joined
// text after that line is removed. The first byte picks the needle.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hosts/hosts_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (text.find('\0') != std::string_view::npos) return 0;
  const std::string_view needle = text.substr(data[0] % (text.size() + 1), data[0] % 5);
  std::vector<std::string> model;  // each line runs to CR LF, CR, LF or the text's end
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find_first_of("\r\n", at), text.size());
    model.emplace_back(text.substr(at, end - at));
    at = end + (text.substr(end, 2) == "\r\n" ? 2 : 1);
  }
  tarnwick::Bytes bytes = tarnwick::Bytes::allocate(text.size());
  if (!text.empty()) std::memcpy(bytes.data(), text.data(), text.size());
  tarnwick::LineList list;
  tarnwick::split_text(std::move(bytes), list);
  if (list.count() != static_cast<std::int64_t>(model.size())) std::abort();
  std::int64_t last = -1;
  for (std::size_t i = 0; i < model.size(); ++i) {
    if (list.get(static_cast<std::int64_t>(i)) != model[i]) std::abort();
    if (model[i].find(needle) != std::string::npos) last = static_cast<std::int64_t>(i);
  }
  if (list.find_last(needle) != last) std::abort();
  if (last < 0) return 0;
  list.remove(last);
  model.erase(model.begin() + last);
  std::string joined;
  for (const std::string& line : model) joined += line + "\r\n";
  if (tarnwick::join_lines(list).view() != joined) std::abort();
  return 0;
}
