#include "tool/block_unblock.h"

#include <gtest/gtest.h>

#include "support/lifecycle.h"
#include "support/output_channel.h"
#include "test_support.h"

namespace tarnwick {
namespace {

using testing::FakeSystem;
using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

struct EditCase {
  const char* name;
  RunMode mode;
  std::string host;
  std::string before;
  std::string after;
  std::string printed;
};

void PrintTo(const EditCase& c, std::ostream* os) { *os << c.name; }

class EditTest : public ::testing::TestWithParam<EditCase> {};

TEST_P(EditTest, EditsTheFileAndPrintsOneMessage) {
  const EditCase& c = GetParam();
  ScratchDir dir;
  const std::string path = dir.file("hosts");
  write_file(path, c.before);
  FakeSystem fake;
  block_or_unblock(c.mode, c.host, path);
  close_channel();
  EXPECT_EQ(read_file(path), c.after);
  EXPECT_EQ(fake.output(), c.printed);
}

const char* const kAdded = "Entry added.\r\n";
const char* const kRemoved = "Entry removed\r\n";

INSTANTIATE_TEST_SUITE_P(
    Edits, EditTest,
    ::testing::Values(
        EditCase{"BlockAppendsUpperCaseEntry", RunMode::Block, "ads.Example.com", "# hosts\n",
                 "# hosts\r\n127.0.0.1        ADS.EXAMPLE.COM\r\n", kAdded},
        EditCase{"BlockTwiceAddsNothing", RunMode::Block, "ads.example.com",
                 "127.0.0.1        ADS.EXAMPLE.COM\r\n", "127.0.0.1        ADS.EXAMPLE.COM\r\n", ""},
        EditCase{"LowerCaseLineIsNotAMatch", RunMode::Block, "ads.example.com", "1.2.3.4 ads.example.com",
                 "1.2.3.4 ads.example.com\r\n127.0.0.1        ADS.EXAMPLE.COM\r\n", kAdded},
        EditCase{"NameInsideALongerNameMatches", RunMode::Block, "ads.com", "0.0.0.0 XADS.COMX\n",
                 "0.0.0.0 XADS.COMX\r\n", ""},
        EditCase{"UnblockRemovesTheLastMatchOnly", RunMode::Unblock, "a.com",
                 "127.0.0.1 A.COM\nx\n# A.COM\ny", "127.0.0.1 A.COM\r\nx\r\ny\r\n", kRemoved},
        EditCase{"UnblockFirstLine", RunMode::Unblock, "a.com", "A.COM\r\nb\r\n", "b\r\n", kRemoved},
        EditCase{"UnblockWithoutMatchStillRewrites", RunMode::Unblock, "a.com", "x\ny", "x\r\ny\r\n", ""},
        EditCase{"UnblockLowerCaseLineStays", RunMode::Unblock, "a.com", "a.com\n", "a.com\r\n", ""},
        EditCase{"EmptyFileIsNotRewritten", RunMode::Block, "a.com", "", "", ""},
        EditCase{"OtherBytesKeptAsTyped", RunMode::Block, "\xe9t\xe9.com", "x\n",
                 "x\r\n127.0.0.1        \xe9T\xe9.COM\r\n", kAdded}),
    [](const auto& info) { return std::string(info.param.name); });


}  // namespace
}  // namespace tarnwick
