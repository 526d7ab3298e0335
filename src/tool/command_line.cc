#include "tool/command_line.h"

namespace tarnwick {
namespace {

bool is_blank(char c) { return static_cast<unsigned char>(c) <= 32; }

// Cuts tokens one after another from the start of a command line.
class Splitter {
 public:
  explicit Splitter(std::string_view line) : line_(line) {}

  // Cuts the next token into `token`; an empty token means the line is used
  // up, and so is every later one.
  void next(std::string& token) {
    token.clear();
    if (!in_quotes_) skip_separators();
    for (;;) {
      if (at_end()) return;
      const char c = line_[pos_];
      if (in_quotes_) {
        if (c == '"') {
          in_quotes_ = false;
          ++pos_;
          if (token.empty()) skip_separators();  // a resumed stretch closed at once
          continue;
        }
        if (token.size() == kMaxArgumentLength) return;  // the stretch goes on in the next token
        token += c;
        ++pos_;
        continue;
      }
      if (is_blank(c)) return;
      if (token.size() == kMaxArgumentLength) return;
      ++pos_;
      if (c == '"') {
        in_quotes_ = true;
      } else {
        token += c;
      }
    }
  }

 private:
  bool at_end() const { return pos_ >= line_.size() || line_[pos_] == '\0'; }

  void skip_separators() {
    for (;;) {
      while (!at_end() && is_blank(line_[pos_])) ++pos_;
      if (line_.substr(pos_, 2) != "\"\"") return;
      pos_ += 2;
    }
  }

  std::string_view line_;
  std::size_t pos_ = 0;
  bool in_quotes_ = false;
};

}  // namespace

CommandLine::CommandLine(std::string_view line) : line_(line.substr(0, line.find('\0'))) {}

int CommandLine::argument_count() const {
  Splitter splitter(line_);
  std::string token;
  splitter.next(token);  // the program's own name
  int count = 0;
  for (splitter.next(token); !token.empty(); splitter.next(token)) ++count;
  return count;
}

std::string CommandLine::argument(int index) const {
  Splitter splitter(line_);
  std::string token;
  // The program's own name first; once the line is used up, every later
  // token is empty, however far the index.
  for (int i = 0; i <= index; ++i) {
    splitter.next(token);
    if (token.empty()) break;
  }
  return index >= 1 ? token : std::string();
}

}  // namespace tarnwick
