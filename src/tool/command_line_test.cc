#include "tool/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarnwick {
namespace {

std::vector<std::string> split(const std::string& line) {
  const CommandLine command_line(line);
  std::vector<std::string> arguments;
  for (int i = 1; i <= command_line.argument_count(); ++i) {
    arguments.push_back(command_line.argument(i));
  }
  return arguments;
}

struct SplitCase {
  const char* name;
  std::string line;
  std::vector<std::string> arguments;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, CutsArgumentsAsTheToolReadsThem) {
  EXPECT_EQ(split(GetParam().line), GetParam().arguments);
}

const std::string k4096(4096, 'x');

INSTANTIATE_TEST_SUITE_P(
    Lines, SplitTest,
    ::testing::Values(
        SplitCase{"NoArguments", "tarnwick", {}},
        SplitCase{"ProgramNameQuoted", "\"C:\\Program Files\\t.exe\" /B", {"/B"}},
        SplitCase{"ControlBytesSeparate", "t\t/B\x01\x1f name \x7fz", {"/B", "name", "\x7fz"}},
        SplitCase{"QuotePairSkipped", "t /B \"\" name path", {"/B", "name", "path"}},
        SplitCase{"SeveralQuotePairs", "t \"\"\"\" \"\" a", {"a"}},
        SplitCase{"QuotedPathWithSpaces", "t /U n \"C:\\My Files\\hosts\"",
                  {"/U", "n", "C:\\My Files\\hosts"}},
        SplitCase{"QuotesInsideToken", "t a\"b c\"d", {"ab cd"}},
        SplitCase{"BackslashDoesNotEscape", "t \"C:\\dir\\\" x", {"C:\\dir\\", "x"}},
        SplitCase{"UnclosedQuoteRunsToEnd", "t a \"b c", {"a", "b c"}},
        SplitCase{"LoneQuoteAtEndIsEmptyToken", "t a \"", {"a"}},
        SplitCase{"OpenQuoteTakesTheRest", "t a \" b", {"a", " b"}},
        SplitCase{"BytesAbove127AreOrdinary", "t \xe9t\xe9 \xff", {"\xe9t\xe9", "\xff"}},
        SplitCase{"EndsAtNul", std::string("t a\0b", 5), {"a"}},
        SplitCase{"ExactlyTheLimit", "t " + k4096 + " y", {k4096, "y"}},
        SplitCase{"UnquotedOverTheLimit", "t " + k4096 + "ab", {k4096, "ab"}},
        SplitCase{"QuoteAfterTheLimitBeginsNextToken", "t " + k4096 + "\"a b\"", {k4096, "a b"}},
        SplitCase{"QuotedOverTheLimitStaysQuoted", "t \"" + k4096 + "a b\" c", {k4096, "a b", "c"}},
        SplitCase{"QuotedStretchEndingAtTheLimit", "t \"" + k4096 + "\" c", {k4096, "c"}}),
    [](const auto& info) { return std::string(info.param.name); });


}  // namespace
}  // namespace tarnwick
