#include "console/output_channel.h"

#include "failure/lifecycle.h"
#include "test_support.h"

namespace tarnwick {
namespace {

using platform::FileType;

// Bytes leave a 128-byte buffer when it is exactly full, at the close, and on
// a console at the end of each line. A write the system refuses is an
// EInOutError at the line's check, and so is output that cannot be opened;
// the channel is opened again for the next line.
TEST(OutputChannelTest, BytesReachTheSystemInFullBlocksOrAtLineEnds) {
  // The sizes of the writes the system got before the close and after it;
  // `refused`: the code the first write fails with, or that of output that
  // cannot be opened.
  struct Case {
    FileType type;
    std::vector<std::size_t> line_lengths, before_close, after_close;
    platform::ErrorCode refused = 0;
  };
  const std::vector<Case> cases = {
      {FileType::kDisk, {126}, {128}, {128}},
      {FileType::kCharacter, {126}, {128}, {128}},
      {FileType::kDisk, {50, 50, 50}, {128}, {128, 28}},
      {FileType::kPipe, {10}, {}, {12}},
      {FileType::kCharacter, {2, 0, 3}, {4, 2, 5}, {4, 2, 5}},
      {FileType::kCharacter, {300}, {128, 128, 46}, {128, 128, 46}},
      {FileType::kCharacter, {10, 3}, {5}, {5}, 112},
      {FileType::kUnknown, {10, 3}, {5}, {5}, 103},
  };
  for (const Case& c : cases) {
    testing::FakeSystem fake;
    fake.stdout_type = c.type;
    if (c.type != FileType::kUnknown && c.refused != 0) fake.fail_on(platform::Call::kWrite, 1, c.refused);
    std::string expected, failure;
    for (const std::size_t length : c.line_lengths) {
      try {
        write_message(std::string(length, 'x'));
        expected += std::string(length, 'x') + "\r\n";
      } catch (const Failure& f) {
        EXPECT_EQ(f.kind(), Kind::EInOutError);
        failure = std::string(f.text()) + " " + std::to_string(f.io_code());
        fake.stdout_type = FileType::kCharacter;
      }
    }
    EXPECT_EQ(fake.writes, c.before_close) << static_cast<int>(c.type) << " " << c.line_lengths.size();
    close_channel();
    EXPECT_EQ(fake.writes, c.after_close);
    EXPECT_EQ(fake.output, expected);
    EXPECT_EQ(failure, c.refused == 0 ? "" : "I/O error " + std::to_string(c.refused) + " " + std::to_string(c.refused));
  }
}

}  // namespace
}  // namespace tarnwick
