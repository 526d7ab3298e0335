// The hosts file in memory: an ordered list of lines without terminators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/bytes.h"

namespace tarnwick {

// Receives a text piece by piece; false stops the writing.
using PieceWriter = std::function<bool(std::string_view piece)>;

// Lines are never sorted and may repeat; appended lines are copies the list
// owns. The list keeps the text it was cut from, and as long as it has seen at
// most one removal and no look-up by index it works on that text directly,
// with no per-line memory at all; the first `get` builds an index of views.
class LineList {
 public:
  std::int64_t count() const { return count_; }
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
  // Lines that stand in the kept text followed by CR LF go straight from there;
  // others are gathered in `staging` first (copied one by one when it is
  // empty). Gives false as soon as `write` does.
  bool write_joined(Bytes& staging, const PieceWriter& write) const;
  // The text the list was cut from, as it was given.
  std::string_view loaded_text() const { return body_; }
  // True when the joined text begins with the loaded text as it stands: that
  // text is already joined (every line followed by CR LF) and no line has
  // been removed. The rest of the joined text is then appended_text().
  bool extends_loaded_text() const { return crlf_only_ && !removed_; }
  // The appended lines, each followed by CR LF.
  std::string appended_text() const;
  // Makes sure the kept text no longer follows changes to the file it came
  // from (see Bytes::detach), before that file is written over.
  bool detach_text() const { return text_.detach(); }

 private:
  void build_index() const;
  void make_room() const;

  Bytes text_;
  std::string_view body_;        // the text up to its first NUL
  bool crlf_only_ = true;        // every line end in the body is CR LF
  bool removed_ = false;         // a line has been removed since the text was cut
  std::string_view hole_;        // a removed line and its end, while unindexed
  std::deque<std::string> owned_;  // appended lines; never moves its elements
  std::int64_t count_ = 0;

  // The last line find_last found in the body: its index and where it starts.
  mutable std::int64_t found_index_ = -1;
  mutable const char* found_start_ = nullptr;

  // Until indexed, the lines are those of the body less the hole, then owned_.
  mutable bool indexed_ = false;
  mutable std::vector<std::string_view> lines_;
};

}  // namespace tarnwick
