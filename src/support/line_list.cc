#include "support/line_list.h"

#include "support/failure.h"

namespace tarnwick {

std::string_view LineList::get(std::int64_t index) const {
  if (index < 0 || index >= count()) raise_list_index_error(index);
  return lines_[static_cast<std::size_t>(index)];
}

std::int64_t LineList::append(std::string_view line) {
  const std::int64_t index = count();
  make_room();
  appended_.emplace_back(line);
  lines_.push_back(appended_.back());
  return index;
}

void LineList::remove(std::int64_t index) {
  if (index < 0 || index >= count()) raise_list_index_error(index);
  lines_.erase(lines_.begin() + index);
}

void LineList::reset(Bytes text) {
  lines_.clear();
  appended_.clear();
  text_ = std::move(text);
}

void LineList::append_view(std::string_view line) {
  make_room();
  lines_.push_back(line);
}

// The storage grows by 4 entries while it holds at most 8, by 16 while it holds
// at most 64, and by a quarter beyond that, so appending costs constant time on
// average.
void LineList::make_room() {
  const std::size_t room = lines_.capacity();
  if (lines_.size() < room) return;
  const std::size_t step = room <= 8 ? 4 : room <= 64 ? 16 : room / 4;
  lines_.reserve(room + step);
}

}  // namespace tarnwick
