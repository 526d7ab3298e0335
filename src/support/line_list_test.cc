#include "support/line_list.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/failure.h"

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

TEST(LineListTest, IndexOutsideTheListRaisesAndChangesNothing) {
  LineList list;
  list.append("a");
  list.append("b");
  for (std::int64_t index : {-1, 2, 3}) {
    const std::string expected = "List index out of bounds (" + std::to_string(index) + ")";
    EXPECT_EQ(failure_text([&] { list.get(index); }), expected);
    EXPECT_EQ(failure_text([&] { list.remove(index); }), expected);
  }
  ASSERT_EQ(list.count(), 2);
  EXPECT_EQ(list.get(1), "b");
}

TEST(LineListTest, AppendCopiesAndRemoveMovesLaterLinesDown) {
  LineList list;
  std::string line = "same";
  EXPECT_EQ(list.append(line), 0);
  EXPECT_EQ(list.append(line), 1);
  line[0] = 'X';
  for (int i = 0; i < 100; ++i) list.append(std::to_string(i));  // grows several times
  EXPECT_EQ(list.get(0), "same");
  EXPECT_EQ(list.get(1), "same");
  list.remove(0);
  EXPECT_EQ(list.count(), 101);
  EXPECT_EQ(list.get(0), "same");
  EXPECT_EQ(list.get(1), "0");
  EXPECT_EQ(list.get(100), "99");
}

}  // namespace
}  // namespace tarnwick
