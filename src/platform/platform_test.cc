#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tool/command_line.h"

// Windows hands the program its command line whole; elsewhere it is rebuilt.
#ifndef _WIN32
namespace tarnwick {
namespace {

struct RebuildCase {
  std::vector<const char*> argv;
  std::string line;
  std::vector<std::string> arguments;  // as the splitter reads the line back
};

TEST(JoinArgumentsTest, RebuiltLineSplitsBackToTheArguments) {
  const std::vector<RebuildCase> cases = {
      {{"tarnwick", "/B", "ads.example.com", "/etc/hosts"},
       "tarnwick /B ads.example.com /etc/hosts",
       {"/B", "ads.example.com", "/etc/hosts"}},
      {{"./my tool", "/U", "n", "/tmp/my hosts"}, "./mytool /U n \"/tmp/my hosts\"", {"/U", "n", "/tmp/my hosts"}},
      // The program's own name stays one token, whatever it holds.
      {{"", "/B", "n", "p"}, "tarnwick /B n p", {"/B", "n", "p"}},
      {{"a\" b", "/B", "n", "p"}, "ab /B n p", {"/B", "n", "p"}},
      {{"\"\"", "/B", "n", "p"}, "tarnwick /B n p", {"/B", "n", "p"}},
      {{"t", "/B", "", "n", "p"}, "t /B \"\" n p", {"/B", "n", "p"}},
      {{"t", "x\"y z\"w"}, "t x\"y z\"w", {"xy zw"}},
      {{"t", "a\tb", "c\\"}, "t \"a\tb\" c\\", {"a\tb", "c\\"}},
  };
  for (const RebuildCase& c : cases) {
    const std::string line = platform::command_line(static_cast<int>(c.argv.size()), c.argv.data());
    EXPECT_EQ(line, c.line);
    const CommandLine command_line(line);
    std::vector<std::string> arguments;
    for (int i = 1; i <= command_line.argument_count(); ++i) arguments.push_back(command_line.argument(i));
    EXPECT_EQ(arguments, c.arguments) << line;
  }
}

}  // namespace
}  // namespace tarnwick
#endif
