// Splits arbitrary NUL-free text into lines and checks the list against a plain
// byte-by-byte model: its lines, the last line holding a needle, and the joined
// text after that line is removed. The first byte picks the needle.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/hosts_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (text.find('\0') != std::string_view::npos) return 0;
  const std::string_view needle = text.substr(data[0] % (text.size() + 1), data[0] % 5);
  std::vector<std::string> model(1);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') {
      model.back() += text[i];
      continue;
    }
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    model.emplace_back();
  }
  if (model.back().empty()) model.pop_back();  // the text ended with its last line's end
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
