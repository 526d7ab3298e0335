#include "support/line_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "support/failure.h"
#include "support/hosts_file.h"

namespace tarnwick {
namespace {

// A plain model: the lines as strings, cut the simple way.
std::vector<std::string> model_split(std::string_view text) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < text.size();) {
    std::string line;
    while (i < text.size() && text[i] != '\r' && text[i] != '\n') line += text[i++];
    lines.push_back(line);
    if (i < text.size() && text[i] == '\r') ++i;
    if (i < text.size() && text[i] == '\n') ++i;
  }
  return lines;
}

std::int64_t model_find_last(const std::vector<std::string>& lines, std::string_view needle) {
  for (std::size_t i = lines.size(); i-- > 0;) {
    if (lines[i].find(needle) != std::string::npos) return static_cast<std::int64_t>(i);
  }
  return -1;
}

std::string model_join(const std::vector<std::string>& lines) {
  std::string joined;
  for (const std::string& line : lines) joined += line + "\r\n";
  return joined;
}

std::string index_failure(const std::function<void()>& action) {
  try {
    action();
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.kind(), Kind::EStringListError);
    return std::string(failure.text());
  }
  return "no failure";
}

// Whatever the list does inside, it must behave as if it held every line,
// refuse an index outside them, and tell when its joined text merely extends
// the text it was cut from.
TEST(LineListTest, BehavesLikeAListOfLines) {
  std::vector<std::string> texts = {
      "", "a", "a\r\nb\r\n", "a\nb", "a\rb\r", "x\n\n\ny", "\r\n\r\n", "ab\r\r\nab\n\rab", "one\r\nab\ntwo\rab",
      // Line ends on both sides of 16-byte boundaries.
      std::string(15, 'a') + "\r\n" + std::string(30, 'b') + "\r\n",
      std::string(15, 'a') + "\r\r" + std::string(14, 'b') + "\n\n" + std::string(15, 'x') + "\r",
  };
  std::string crlf, mixed;
  for (int i = 0; i < 12; ++i) {
    crlf += "ab" + std::to_string(i) + "\r\n";
    mixed += "ab" + std::to_string(i) + (i % 3 == 0 ? "\r\n" : i % 3 == 1 ? "\n" : "\r");
  }
  texts.push_back(crlf);
  texts.push_back(mixed);
  for (const std::string& text : texts) {
    const std::vector<std::string> lines = model_split(text);
    for (int removal = -1; removal < static_cast<int>(lines.size()); ++removal) {
      for (const int step : {0, 1, 2, 3}) {  // bit 0: a second removal; bit 1: indexed first
        SCOPED_TRACE(::testing::Message() << "text \"" << text << "\" removal " << removal << " step " << step);
        LineList list;
        Bytes bytes = Bytes::allocate(text.size());
        if (!text.empty()) std::memcpy(bytes.data(), text.data(), text.size());
        list.assign(std::move(bytes), text.size());
        std::vector<std::string> model = lines;
        const bool removed = removal >= 0 || ((step & 1) && !model.empty());
        if ((step & 2) && !model.empty()) list.get(0);
        for (const std::int64_t index : {std::int64_t{-1}, list.count()}) {
          const std::string expected = "List index out of bounds (" + std::to_string(index) + ")";
          EXPECT_EQ(index_failure([&] { list.get(index); }), expected);
          EXPECT_EQ(index_failure([&] { list.remove(index); }), expected);
        }
        EXPECT_EQ(list.find_last("ab"), model_find_last(model, "ab"));  // unblocking removes what it finds
        if (removal >= 0) {
          list.remove(removal);
          model.erase(model.begin() + removal);
        }
        if ((step & 1) && !model.empty()) {
          list.remove(0);
          model.erase(model.begin());
        }
        for (std::string line : {"ab", "c"}) {
          EXPECT_EQ(list.append(line), static_cast<std::int64_t>(model.size()));
          model.push_back(line);
          line = "changed";  // the list keeps its own copy
        }
        ASSERT_EQ(list.count(), static_cast<std::int64_t>(model.size()));
        for (std::string_view needle : {"a", "b", "ab", "x", "a\nb", ""}) {
          EXPECT_EQ(list.find_last(needle), model_find_last(model, needle)) << needle;
        }
        const std::string joined = model_join(model);
        EXPECT_EQ(join_lines(list).view(), joined);
        EXPECT_EQ(list.loaded_text(), text);
        const bool extends = !removed && model_join(lines) == text;
        EXPECT_EQ(list.extends_loaded_text(), extends);
        EXPECT_TRUE(!extends || text + list.appended_text() == joined);
        for (std::size_t i = 0; i < model.size(); ++i) EXPECT_EQ(list.get(static_cast<std::int64_t>(i)), model[i]);
      }
    }
  }
}

}  // namespace
}  // namespace tarnwick
