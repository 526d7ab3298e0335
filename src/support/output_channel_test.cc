#include "support/lifecycle.h"
#include "support/output_channel.h"

#include <gtest/gtest.h>

#include "support/failure.h"
#include "test_support.h"

namespace tarnwick {
namespace {

using platform::Call;
using platform::FileType;
using testing::FakeSystem;

std::vector<std::size_t> sizes(const FakeSystem& fake) {
  std::vector<std::size_t> result;
  for (const std::string& w : fake.writes) result.push_back(w.size());
  return result;
}

struct Pattern {
  const char* name;
  FileType type;
  std::vector<std::size_t> line_lengths;      // texts written as lines
  std::vector<std::size_t> before_close;      // write sizes the system got before close
  std::vector<std::size_t> after_close;
};

TEST(OutputChannelTest, BytesReachTheSystemInFullBlocksOrAtLineEnds) {
  const std::vector<Pattern> cases = {
      {"exactly full, redirected", FileType::kDisk, {126}, {128}, {128}},
      {"exactly full, console", FileType::kCharacter, {126}, {128}, {128}},
      {"redirected waits for full blocks", FileType::kDisk, {50, 50, 50}, {128}, {128, 28}},
      {"pipe waits too", FileType::kPipe, {10}, {}, {12}},
      {"console writes each line", FileType::kCharacter, {2, 0, 3}, {4, 2, 5}, {4, 2, 5}},
      {"long console line in pieces", FileType::kCharacter, {300}, {128, 128, 46}, {128, 128, 46}},
  };
  for (const Pattern& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem fake;
    fake.stdout_type = c.type;
    std::string expected;
    for (std::size_t length : c.line_lengths) {
      const std::string text(length, 'x');
      write_message(text);
      expected += text + "\r\n";
    }
    EXPECT_EQ(sizes(fake), c.before_close);
    close_channel();
    EXPECT_EQ(sizes(fake), c.after_close);
    EXPECT_EQ(fake.output(), expected);
  }
}

struct Refusal {
  const char* name;
  Call call;
  platform::ErrorCode code;
  std::string text;
  int io_code;
};

TEST(OutputChannelTest, CheckTurnsAFailedWriteIntoAnInOutError) {
  const std::vector<Refusal> cases = {
      {"console refuses with 5", Call::kWrite, 5, "File access denied", 5},
      {"console refuses with 6", Call::kWrite, 6, "I/O error 6", 6},
      {"disk full", Call::kWrite, 112, "I/O error 112", 112},
      {"no standard output", Call::kWrite, 0, "I/O error 103", 103},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem fake;
    fake.stdout_type = c.code == 0 ? FileType::kUnknown : FileType::kCharacter;
    if (c.code != 0) fake.fail_on(c.call, 1, c.code);
    try {
      write_message("banner");
      ADD_FAILURE() << "no failure raised";
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.kind(), Kind::EInOutError);
      EXPECT_EQ(failure.text(), c.text);
      EXPECT_EQ(failure.io_code(), c.io_code);
    }
    fake.stdout_type = FileType::kCharacter;
    write_message("the next line goes through");  // a closed channel is opened again
    close_channel();
    EXPECT_EQ(fake.output(), "the next line goes through\r\n");
  }
}

TEST(OutputChannelTest, FailedFinalWriteOutIsNotReported) {
  FakeSystem fake;
  fake.fail_on(Call::kWrite, 1, 112);
  write_message("kept in the buffer");
  close_channel();
  EXPECT_TRUE(fake.writes.empty());
}

}  // namespace
}  // namespace tarnwick
