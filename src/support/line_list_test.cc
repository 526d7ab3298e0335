#include "support/line_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "support/failure.h"
#include "support/hosts_file.h"

namespace tarnwick {
namespace {

std::string failure_text(const std::function<void()>& action) {
  try {
    action();
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.kind(), Kind::EStringListError);
    return std::string(failure.text());
  }
  return "no failure";
}

LineList list_of(std::string_view text) {
  LineList list;
  Bytes bytes = Bytes::allocate(text.size());
  if (!text.empty()) std::memcpy(bytes.data(), text.data(), text.size());
  list.assign(std::move(bytes), text.size());
  return list;
}

TEST(LineListTest, IndexOutsideTheListRaisesAndChangesNothing) {
  for (const bool indexed : {false, true}) {
    LineList list = list_of("a\nb\n");
    if (indexed) list.get(0);
    for (std::int64_t index : {-1, 2, 3}) {
      const std::string expected = "List index out of bounds (" + std::to_string(index) + ")";
      EXPECT_EQ(failure_text([&] { list.get(index); }), expected);
      EXPECT_EQ(failure_text([&] { list.remove(index); }), expected);
    }
    ASSERT_EQ(list.count(), 2);
    EXPECT_EQ(list.get(1), "b");
  }
}

TEST(LineListTest, AppendKeepsACopy) {
  LineList list;
  std::string line = "same";
  EXPECT_EQ(list.append(line), 0);
  EXPECT_EQ(list.append(line), 1);
  line[0] = 'X';
  EXPECT_EQ(list.get(0), "same");
  EXPECT_EQ(list.get(1), "same");
}

// A plain model: the lines as strings, cut and joined the simple way.
std::vector<std::string> model_split(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t i = 0;
  while (i < text.size()) {
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

// The list works on its text until it needs an index; either way it must
// behave as if it held every line.
TEST(LineListTest, BehavesLikeAListOfLinesWithOrWithoutIndex) {
  std::vector<std::string> texts = {
      "",        "a",        "a\r\nb\r\n", "a\nb",       "a\rb\r",
      "x\n\n\ny", "\r\n\r\n", "ab\r\r\nab\n\rab", "one\r\nab\ntwo\rab",
      // Longer texts, with line ends on both sides of 16-byte boundaries.
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
    for (int first_removal = -1; first_removal < static_cast<int>(lines.size()); ++first_removal) {
      for (const bool second_removal : {false, true}) {
        for (const bool indexed : {false, true}) {
          SCOPED_TRACE(::testing::Message() << "text \"" << text << "\" removal " << first_removal
                                            << (second_removal ? " twice" : "") << (indexed ? " indexed" : ""));
          LineList list = list_of(text);
          std::vector<std::string> model = lines;
          if (indexed && !model.empty()) list.get(0);
          // Unblocking removes the line it has just found.
          EXPECT_EQ(list.find_last("ab"), model_find_last(model, "ab"));
          if (first_removal >= 0) {
            list.remove(first_removal);
            model.erase(model.begin() + first_removal);
          }
          if (second_removal && !model.empty()) {
            list.remove(0);
            model.erase(model.begin());
          }
          list.append("ab");
          model.push_back("ab");
          ASSERT_EQ(list.count(), static_cast<std::int64_t>(model.size()));
          for (std::string_view needle : {"a", "b", "ab", "x", "a\nb", ""}) {
            EXPECT_EQ(list.find_last(needle), model_find_last(model, needle)) << needle;
          }
          std::string joined;
          for (const std::string& line : model) joined += line + "\r\n";
          EXPECT_EQ(join_lines(list).view(), joined);
          for (std::size_t i = 0; i < model.size(); ++i) EXPECT_EQ(list.get(static_cast<std::int64_t>(i)), model[i]);
        }
      }
    }
  }
}

}  // namespace
}  // namespace tarnwick
