// The hosts file in memory: an ordered list of lines without terminators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/bytes.h"

namespace tarnwick {

// Receives a text piece by piece; false stops the writing.
using PieceWriter = std::function<bool(std::string_view piece)>;

// Lines are never sorted and may repeat. The list keeps the text it was cut
// from and works on it directly, with no memory per line: the loaded lines are
// that text less the lines removed from it; appended lines are copies the list
// owns. A view that get() gives is valid until the list next changes.
class LineList {
 public:
  std::int64_t count() const { return loaded_count_ + static_cast<std::int64_t>(appended_.size()); }
  // Raises EStringListError for an index outside 0 .. count - 1.
  std::string_view get(std::int64_t index) const;
  // Stores a copy of `line` after the last line; gives its index.
  std::int64_t append(std::string_view line);
  // Raises EStringListError for an index outside 0 .. count - 1.
  void remove(std::int64_t index);
  // The index of the last line that holds `needle` as a run of bytes, or -1.
  std::int64_t find_last(std::string_view needle) const;

  // Empties the list, keeps `text` and takes the lines of its first `length`
  // bytes: CR LF, LF and CR each end a line.
  void assign(Bytes text, std::size_t length);
  // Hands the joined text, every line followed by CR LF, to `write` in order.
  // Runs of loaded lines that stand in the text followed by CR LF go straight
  // from there; other lines are gathered in `staging` first (copied one by one
  // when it is empty). Gives false as soon as `write` does.
  bool write_joined(Bytes& staging, const PieceWriter& write) const;
  // True when the lines hold a NUL byte.
  bool holds_nul() const { return holds_nul_; }
  // The text the list was cut from, as it was given.
  std::string_view loaded_text() const { return body_; }
  // True when the joined text begins with the loaded text as it stands: that
  // text is already joined (every line followed by CR LF) and no line has
  // been removed. The rest of the joined text is then appended_text().
  bool extends_loaded_text() const { return crlf_only_ && removed_.empty(); }
  // The appended lines, each followed by CR LF.
  std::string appended_text() const;
  // True when the joined text is the loaded text cut short: that text is
  // already joined, nothing is appended, and the lines removed are its last.
  bool cuts_loaded_text() const;
  // Makes sure the kept text from byte `from` on no longer follows changes
  // to the file it came from (see Bytes::detach), before that part of the
  // file is written over or cut off.
  bool detach_text(std::size_t from) const { return text_.detach(from); }

 private:
  // The loaded line at `index` (0 .. loaded_count_ - 1).
  std::string_view loaded_line(std::int64_t index) const;
  // The loaded lines that are left, as runs of the text between removed lines.
  std::vector<std::string_view> runs() const;

  Bytes text_;
  std::string_view body_;        // the text up to its first NUL
  bool crlf_only_ = true;        // every line end in the body is CR LF
  bool holds_nul_ = false;
  std::int64_t loaded_count_ = 0;
  std::vector<std::string_view> removed_;  // removed loaded lines with their ends, in text order
  std::deque<std::string> appended_;       // never moves its elements
  // The loaded line find_last() gave last, until the loaded lines change.
  struct Found {
    std::int64_t index = -1;
    const char* line = nullptr;
  };
  mutable Found found_;
};

}  // namespace tarnwick
