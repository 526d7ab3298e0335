// Fast scanning of text for line ends: CR LF, LF alone or CR alone.
#pragma once

#include <cstddef>
#include <string_view>

namespace tarnwick {

// The first CR or LF at or after `p`, or `end`.
const char* find_line_end(const char* p, const char* end);

// The start of the line that holds `p`: past the last CR or LF before it,
// or `begin`.
const char* find_line_start(const char* begin, const char* p);

// Past the line end at `p` (CR LF counts as one), or `p` when it is `end`.
inline const char* skip_line_end(const char* p, const char* end) {
  if (p < end && *p == '\r') ++p;
  if (p < end && *p == '\n') ++p;
  return p;
}

// Moves `p` past `count` line ends, to the start of a later line, stopping at
// `end`; gives how many it could not pass there.
std::size_t skip_lines(const char*& p, const char* end, std::size_t count);

struct LineCount {
  std::size_t lines = 0;
  // True when every line end is CR LF and the text is empty or ends in one:
  // the text is then already written the way it would be saved.
  bool crlf_only = true;
  bool holds_nul = false;
};

// The number of lines in `text`, counted as the splitter cuts them.
LineCount count_lines(std::string_view text);

// The last place `needle` (not empty) starts in `text`, or npos. The search
// runs from the end back and looks closely only where the needle's first and
// last bytes both stand, 16 or 32 places at a time: as fast among names like
// the needle as among others.
std::size_t find_last_in(std::string_view text, std::string_view needle);

}  // namespace tarnwick
