// The hosts file in memory: an ordered list of lines without terminators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// A block of bytes owned by one holder: a file's content or a joined text.
struct Bytes {
  std::unique_ptr<char[]> data;
  std::size_t size = 0;

  std::string_view view() const { return {data.get(), size}; }
};

// Lines are never sorted and may repeat. Lines loaded from a file are views into
// the file's bytes, which the list keeps; appended lines are copies it owns.
class LineList {
 public:
  std::int64_t count() const { return static_cast<std::int64_t>(lines_.size()); }
  // Raises EStringListError for an index outside 0 .. count - 1.
  std::string_view get(std::int64_t index) const;
  // Stores a copy of `line` after the last line; gives its index.
  std::int64_t append(std::string_view line);
  // Raises EStringListError for an index outside 0 .. count - 1.
  void remove(std::int64_t index);

  // Empties the list and makes it the keeper of `text`, into which lines given
  // to append_view point.
  void reset(Bytes text);
  // Appends a line that lies inside the kept text, without copying it.
  void append_view(std::string_view line);

 private:
  void make_room();

  Bytes text_;
  std::deque<std::string> appended_;  // never moves its elements
  std::vector<std::string_view> lines_;
};

}  // namespace tarnwick
