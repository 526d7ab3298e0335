#include "support/output_channel.h"

#include <gtest/gtest.h>

#include "support/failure.h"
#include "support/lifecycle.h"
#include "test_support.h"

namespace tarnwick {
namespace {

using platform::FileType;
using testing::FakeSystem;

std::vector<std::size_t> sizes(const FakeSystem& fake) {
  std::vector<std::size_t> result;
  for (const std::string& w : fake.writes) result.push_back(w.size());
  return result;
}

// Bytes leave a 128-byte buffer when it is exactly full, at the close, and on
// a console at the end of each line.
TEST(OutputChannelTest, BytesReachTheSystemInFullBlocksOrAtLineEnds) {
  struct Case {
    FileType type;
    std::vector<std::size_t> line_lengths;  // texts written as lines
    std::vector<std::size_t> before_close;  // write sizes the system got
    std::vector<std::size_t> after_close;
  };
  const std::vector<Case> cases = {
      {FileType::kDisk, {126}, {128}, {128}},
      {FileType::kCharacter, {126}, {128}, {128}},
      {FileType::kDisk, {50, 50, 50}, {128}, {128, 28}},
      {FileType::kPipe, {10}, {}, {12}},
      {FileType::kCharacter, {2, 0, 3}, {4, 2, 5}, {4, 2, 5}},
      {FileType::kCharacter, {300}, {128, 128, 46}, {128, 128, 46}},
  };
  for (const Case& c : cases) {
    FakeSystem fake;
    fake.stdout_type = c.type;
    std::string expected;
    for (std::size_t length : c.line_lengths) {
      write_message(std::string(length, 'x'));
      expected += std::string(length, 'x') + "\r\n";
    }
    EXPECT_EQ(sizes(fake), c.before_close) << static_cast<int>(c.type) << " " << c.line_lengths.size();
    close_channel();
    EXPECT_EQ(sizes(fake), c.after_close);
    EXPECT_EQ(fake.output(), expected);
  }
}

// A write the system refuses, or no standard output at all, is an
// EInOutError at the next check; the channel is opened again afterwards.
TEST(OutputChannelTest, FailedWriteIsAnInOutError) {
  const std::vector<std::pair<platform::ErrorCode, std::string>> cases = {
      {5, "File access denied"}, {6, "I/O error 6"}, {112, "I/O error 112"}, {0, "I/O error 103"}};
  for (const auto& [code, text] : cases) {
    FakeSystem fake;
    fake.stdout_type = code == 0 ? FileType::kUnknown : FileType::kCharacter;
    if (code != 0) fake.fail_on(platform::Call::kWrite, 1, code);
    try {
      write_message("banner");
      ADD_FAILURE() << "no failure raised";
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.kind(), Kind::EInOutError);
      EXPECT_EQ(failure.text(), text);
      EXPECT_EQ(failure.io_code(), code == 0 ? 103 : static_cast<int>(code));
    }
    fake.stdout_type = FileType::kCharacter;
    write_message("the next line goes through");
    close_channel();
    EXPECT_EQ(fake.output(), "the next line goes through\r\n");
  }
}

}  // namespace
}  // namespace tarnwick
