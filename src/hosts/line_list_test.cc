#include "hosts/line_list.h"

#include <cstring>

#include "line_model.h"
#include "test_support.h"

namespace tarnwick {
namespace {

// Whatever the list does inside, it must behave as if it held every line,
// refuse an index outside them, and tell when its joined text merely extends
// the text it was cut from, and note a NUL byte. The texts are made of short
// pieces, every other one of CR LF-ended lines only, some long enough to
// cross 16-byte blocks.
TEST(LineListTest, BehavesLikeAListOfLines) {
  std::mt19937 random(2024);
  const char* const pieces[] = {"ab", "x", "\r\n", "a", "b", "\r", "\n"};
  for (int round = 0; round < 200; ++round) {
    const bool written = round % 2 == 1;
    std::string text;
    for (int n = random() % (round < 100 ? 8 : 40); n > 0; --n) text += pieces[random() % (written ? 3 : 7)];
    if (written && !text.empty()) text += "\r\n";
    if (round % 4 == 2 && !text.empty()) text[random() % text.size()] = '\0';  // a NUL is noted wherever it is
    const std::vector<std::string> lines = testing::model_split(text);
    for (int removal = -1; removal < static_cast<int>(lines.size()); ++removal) {
      for (const int step : {0, 1, 2, 3}) {  // bit 0: a second removal; bit 1: an appended line removed
        SCOPED_TRACE(::testing::Message() << "text \"" << text << "\" removal " << removal << " step " << step);
        LineList list;
        Bytes bytes = Bytes::allocate(text.size());
        if (!text.empty()) std::memcpy(bytes.data(), text.data(), text.size());
        list.assign(std::move(bytes), text.size());
        std::vector<std::string> model = lines;
        const bool removed = removal >= 0 || ((step & 1) && !model.empty());
        for (const std::int64_t index : {std::int64_t{-1}, list.count()}) {
          const std::string expected = "EStringListError: List index out of bounds (" + std::to_string(index) + ")";
          EXPECT_EQ(testing::failure_of([&] { list.get(index); }), expected);
          EXPECT_EQ(testing::failure_of([&] { list.remove(index); }), expected);
        }
        const auto find_last = [&](std::string_view needle) { return testing::model_find_last(model, needle); };
        EXPECT_EQ(list.find_last("ab"), find_last("ab"));  // unblocking removes what it finds
        for (const int at : {removal, (step & 1) ? 0 : -1}) {
          if (at < 0 || model.empty()) continue;
          list.remove(at);
          model.erase(model.begin() + at);
        }
        for (std::string line : {"ab", "c"}) {
          EXPECT_EQ(list.append(line), static_cast<std::int64_t>(model.size()));
          model.push_back(line);
          line = "changed";  // the list keeps its own copy
        }
        if (step & 2) {
          list.remove(list.count() - 2);
          model.erase(model.end() - 2);
        }
        ASSERT_EQ(list.count(), static_cast<std::int64_t>(model.size()));
        for (const char* needle : {"a", "b", "ab", "x", "a\nb", ""}) EXPECT_EQ(list.find_last(needle), find_last(needle)) << needle;
        EXPECT_EQ(join_lines(list).view(), testing::model_join(model));
        EXPECT_EQ(list.loaded_text(), text);
        EXPECT_EQ(list.holds_nul(), text.find('\0') != std::string::npos);
        const bool extends = !removed && testing::model_join(lines) == text;
        EXPECT_EQ(list.extends_loaded_text(), extends);
        EXPECT_TRUE(!extends || text + list.appended_text() == testing::model_join(model));
        for (std::size_t i = 0; i < model.size(); ++i) EXPECT_EQ(list.get(static_cast<std::int64_t>(i)), model[i]);
      }
    }
  }
}

// The fuzzer's seeds, held to the model as the fuzzer holds its inputs.
TEST(LineListTest, FuzzSeedsAgreeWithTheModel) {
  for (const auto& seed : std::filesystem::directory_iterator(TARNWICK_SOURCE_DIR "/fuzz/corpus/lines")) {
    EXPECT_EQ(testing::differs_on_input(testing::read_file(seed.path().string())), "") << seed.path().filename();
  }
}

// A text of a megabyte or more is counted and searched 32 bytes at a time
// where the processor allows: its lines, its form and a NUL in it are as a
// count byte by byte finds them, the last line is found whole, and a needle
// is found past decoys that share its first and last bytes.
TEST(LineListTest, LongTextsAreCountedAsShortOnes) {
  std::mt19937 random(7);
  const char* const pieces[] = {"ab", "\r\n", "a", "\r", "\n"};
  for (int round = 0; round < 6; ++round) {
    const bool written = round % 2 == 1;
    std::string text;
    while (text.size() < (1u << 20) + 37u * round) text += pieces[random() % (written ? 2 : 5)];
    text += written ? "\r\nlast\r\n" : "\nlast";
    if (round >= 4) text[random() % text.size()] = '\0';
    text.insert(random() % (text.size() / 2), "needle");
    for (int decoy = 0; decoy < 40; ++decoy) text.insert(text.size() / 2 + random() % (text.size() / 2), "neXdle");
    std::size_t ends = 0;
    bool crlf_only = text.back() == '\n';
    for (std::size_t i = 0; i < text.size(); ++i) {
      const bool cr = text[i] == '\r', lf_next = i + 1 < text.size() && text[i + 1] == '\n';
      ends += text[i] == '\n' || (cr && !lf_next);
      crlf_only = crlf_only && cr == lf_next && (i > 0 || text[0] != '\n');
    }
    const auto lines = static_cast<std::int64_t>(ends + (text.back() != '\r' && text.back() != '\n'));
    SCOPED_TRACE(round);
    LineList list;
    Bytes bytes = Bytes::allocate(text.size());
    std::memcpy(bytes.data(), text.data(), text.size());
    list.assign(std::move(bytes), text.size());
    EXPECT_EQ(list.count(), lines);
    EXPECT_EQ(list.extends_loaded_text(), crlf_only);
    EXPECT_EQ(list.holds_nul(), round >= 4);
    EXPECT_EQ(list.find_last("last"), lines - 1);
    EXPECT_EQ(list.find_last("needle"), testing::model_find_last(testing::model_split(text), "needle"));
    EXPECT_EQ(list.get(lines - 1), "last");
  }
}

}  // namespace
}  // namespace tarnwick
