#include "tool/command_line.h"

#include <gtest/gtest.h>

#include <climits>
#include <tuple>

#include "platform/platform.h"

namespace tarnwick {
namespace {

std::vector<std::string> split(const std::string& line) {
  const CommandLine command_line(line);
  std::vector<std::string> arguments;
  for (int i = 1; i <= command_line.argument_count(); ++i) arguments.push_back(command_line.argument(i));
  return arguments;
}

TEST(CommandLineTest, CutsArgumentsAsTheToolReadsThem) {
  const std::string x4096(4096, 'x');
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"tarnwick", {}},
      {"\"C:\\Program Files\\t.exe\" /B", {"/B"}},
      {"t\t/B\x01\x1f name \x7fz", {"/B", "name", "\x7fz"}},  // control bytes separate
      {"t /B \"\" name path", {"/B", "name", "path"}},           // a quote pair is skipped
      {"t \"\"\"\" \"\" a", {"a"}},
      {"t /U n \"C:\\My Files\\hosts\"", {"/U", "n", "C:\\My Files\\hosts"}},
      {"t a\"b c\"d", {"ab cd"}},
      {"t \"C:\\dir\\\" x", {"C:\\dir\\", "x"}},  // no escape character
      {"t a \"b c", {"a", "b c"}},                // an unclosed quote runs to the end
      {"t a \"", {"a"}},
      {"t a \" b", {"a", " b"}},
      {"t \xe9t\xe9 \xff", {"\xe9t\xe9", "\xff"}},
      {std::string("t a\0b", 5), {"a"}},  // the line ends at a NUL
      // An argument is cut after 4096 bytes, and the rest begins the next.
      {"t " + x4096 + " y", {x4096, "y"}},
      {"t " + x4096 + "ab", {x4096, "ab"}},
      {"t " + x4096 + "\"a b\"", {x4096, "a b"}},
      {"t \"" + x4096 + "a b\" c", {x4096, "a b", "c"}},
      {"t \"" + x4096 + "\" c", {x4096, "c"}},
  };
  for (const auto& [line, arguments] : cases) EXPECT_EQ(split(line), arguments) << ::testing::PrintToString(line.substr(0, 40));
  EXPECT_EQ(CommandLine("t a").argument(INT_MAX), "");  // past the end at once, however far
}

#ifndef _WIN32  // Windows hands the program its command line whole; elsewhere it is rebuilt.
// The program's own name stays one token, whatever it holds; an argument with
// a blank and no quote goes in quotes.
TEST(CommandLineTest, LineRebuiltFromArgumentsSplitsBackToThem) {
  const std::vector<std::tuple<std::vector<const char*>, std::string, std::vector<std::string>>> cases = {
      {{"", "/B", "n", "p"}, "tarnwick /B n p", {"/B", "n", "p"}},
      {{"./my \"tool", "/B", "n", "p"}, "./mytool /B n p", {"/B", "n", "p"}},
      {{"\"\"", "", "n"}, "tarnwick \"\" n", {"n"}},
      {{"t", "x\"y z\"w", "a\tb", "c\\"}, "t x\"y z\"w \"a\tb\" c\\", {"xy zw", "a\tb", "c\\"}},
  };
  for (const auto& [argv, line, arguments] : cases) {
    EXPECT_EQ(platform::command_line(static_cast<int>(argv.size()), argv.data()), line);
    EXPECT_EQ(split(line), arguments) << ::testing::PrintToString(line);
  }
}
#endif

}  // namespace
}  // namespace tarnwick
