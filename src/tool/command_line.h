// The tool's arguments, cut from the one command-line string of the process.
//
// Before each token, bytes 1 to 32 and pairs of double quotes are skipped. A
// token then runs to the next byte from 0 to 32 outside quotes; a double quote
// opens a stretch that is taken as it stands up to the next double quote, and
// the quotes themselves are dropped. There is no escape character. A token holds
// at most 4096 bytes: the excess begins the next token, inside the quoted
// stretch if it was in one.
#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

inline constexpr std::size_t kMaxArgumentLength = 4096;

class CommandLine {
 public:
  // `line` ends at its first NUL byte, if it has one.
  explicit CommandLine(std::string_view line);

  // The number of arguments after the program's own name.
  int argument_count() const;
  // Argument `index` (1 or more) after the program's own name, or "" when there
  // is none.
  std::string argument(int index) const;

 private:
  std::string_view line_;
};

}  // namespace tarnwick
