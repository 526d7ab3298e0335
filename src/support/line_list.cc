#include "support/line_list.h"

#include <cstring>

#include "support/failure.h"
#include "support/line_scan.h"

namespace tarnwick {
namespace {

bool holds_line_break(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

bool is_inside(const char* p, std::string_view text) {
  const std::less_equal<const char*> at_most;
  return at_most(text.data(), p) && at_most(p, text.data() + text.size());
}

// The last place `needle` starts in `text`, or npos. Forward search jumps
// from one occurrence of the needle's first byte to the next, which is fast.
std::size_t find_last_in(std::string_view text, std::string_view needle) {
  std::size_t hit = text.find(needle);
  if (hit == std::string_view::npos) return hit;
  for (std::size_t next; (next = text.find(needle, hit + 1)) != std::string_view::npos;) hit = next;
  return hit;
}

// Gathers the joined text: blocks that are already joined go out as they
// are, other lines are staged with CR LF.
class JoinWriter {
 public:
  JoinWriter(Bytes& staging, const PieceWriter& write) : staging_(staging), write_(write) {}

  // A run of bytes that already is joined text.
  bool block(std::string_view bytes) {
    if (!block_.empty() && block_.data() + block_.size() == bytes.data()) {
      block_ = {block_.data(), block_.size() + bytes.size()};
      return true;
    }
    if (!flush()) return false;
    block_ = bytes;
    return true;
  }

  // A line that still needs its CR LF.
  bool line(std::string_view line) {
    if (!block_.empty() && !flush()) return false;
    return stage(line) && stage("\r\n");
  }

  bool flush() {
    if (staged_ != 0 && !write_({staging_.data(), staged_})) return false;
    staged_ = 0;
    if (!block_.empty() && !write_(block_)) return false;
    block_ = {};
    return true;
  }

 private:
  bool stage(std::string_view bytes) {
    if (bytes.empty()) return true;
    if (staged_ + bytes.size() > staging_.size() && !flush()) return false;
    if (bytes.size() > staging_.size()) return write_(bytes);
    std::memcpy(staging_.data() + staged_, bytes.data(), bytes.size());
    staged_ += bytes.size();
    return true;
  }

  Bytes& staging_;
  const PieceWriter& write_;
  std::size_t staged_ = 0;
  std::string_view block_;
};

}  // namespace

void LineList::assign(Bytes text, std::size_t length) {
  text_ = std::move(text);
  body_ = text_.view().substr(0, length);
  const LineCount counted = count_lines(body_);
  crlf_only_ = counted.crlf_only;
  count_ = static_cast<std::int64_t>(counted.lines);
  hole_ = {};
  removed_ = false;
  found_index_ = -1;
  owned_.clear();
  indexed_ = false;
  lines_.clear();
}

std::string_view LineList::get(std::int64_t index) const {
  if (index < 0 || index >= count_) raise_list_index_error(index);
  build_index();
  return lines_[static_cast<std::size_t>(index)];
}

std::int64_t LineList::append(std::string_view line) {
  if (indexed_) make_room();
  owned_.emplace_back(line);
  if (indexed_) lines_.push_back(owned_.back());
  return count_++;
}

void LineList::remove(std::int64_t index) {
  if (index < 0 || index >= count_) raise_list_index_error(index);
  removed_ = true;
  const auto body_lines = count_ - static_cast<std::int64_t>(owned_.size());
  if (!indexed_ && hole_.empty() && index < body_lines) {
    const char* const end = body_.data() + body_.size();
    const char* start = body_.data();
    if (index == found_index_ && found_start_ != nullptr) {
      start = found_start_;  // found just before, as when unblocking
    } else {
      for (std::int64_t i = 0; i < index; ++i) start = skip_line_end(find_line_end(start, end), end);
    }
    const char* after = skip_line_end(find_line_end(start, end), end);
    hole_ = {start, static_cast<std::size_t>(after - start)};
    found_index_ = -1;
  } else {
    build_index();
    lines_.erase(lines_.begin() + index);
  }
  --count_;
}

std::int64_t LineList::find_last(std::string_view needle) const {
  if (needle.empty()) return count_ - 1;
  if (indexed_) {
    for (std::int64_t i = count_ - 1; i >= 0; --i) {
      if (lines_[static_cast<std::size_t>(i)].find(needle) != std::string_view::npos) return i;
    }
    return -1;
  }
  const auto body_lines = count_ - static_cast<std::int64_t>(owned_.size());
  for (std::size_t k = owned_.size(); k-- > 0;) {
    if (owned_[k].find(needle) != std::string_view::npos) return body_lines + static_cast<std::int64_t>(k);
  }
  // A line of the body holds no line break, so a needle with one is in none;
  // without one, a hit cannot span two lines and the body is searched whole.
  if (holds_line_break(needle)) return -1;
  const char* const begin = body_.data();
  const std::size_t hole_start = hole_.empty() ? body_.size() : static_cast<std::size_t>(hole_.data() - begin);
  const std::size_t hole_end = hole_start + hole_.size();
  std::size_t hit = find_last_in(body_.substr(hole_end), needle);
  if (hit != std::string_view::npos) {
    hit += hole_end;
  } else {
    hit = find_last_in(body_.substr(0, hole_start), needle);
    if (hit == std::string_view::npos) return -1;
  }
  // The hit's index: the lines that end before it, less the removed one.
  const std::string_view before = body_.substr(0, hit);
  auto index = static_cast<std::int64_t>(count_lines(before).lines);
  if (!before.empty() && before.back() != '\r' && before.back() != '\n') --index;  // its own line
  if (!hole_.empty() && hit >= hole_end) {
    --index;
  } else if (hole_.empty()) {
    std::size_t start = hit;
    while (start > 0 && body_[start - 1] != '\r' && body_[start - 1] != '\n') --start;
    found_index_ = index;
    found_start_ = begin + start;
  }
  return index;
}

std::string LineList::appended_text() const {
  std::string text;
  for (const std::string& line : owned_) {
    text += line;
    text += "\r\n";
  }
  return text;
}

bool LineList::write_joined(Bytes& staging, const PieceWriter& write) const {
  JoinWriter out(staging, write);
  const char* const body_end = body_.data() + body_.size();
  const auto take = [&](std::string_view line) {
    if (is_inside(line.data(), body_)) {
      const char* after = line.data() + line.size();
      if (body_end - after >= 2 && after[0] == '\r' && after[1] == '\n') {
        return out.block({line.data(), line.size() + 2});
      }
    }
    return out.line(line);
  };
  if (indexed_) {
    for (const std::string_view line : lines_) {
      if (!take(line)) return false;
    }
    return out.flush();
  }
  const std::size_t hole_start = hole_.empty() ? body_.size() : static_cast<std::size_t>(hole_.data() - body_.data());
  for (const std::string_view part : {body_.substr(0, hole_start), body_.substr(hole_start + hole_.size())}) {
    if (crlf_only_) {
      if (!part.empty() && !out.block(part)) return false;
      continue;
    }
    const char* const end = part.data() + part.size();
    for (const char* p = part.data(); p < end;) {
      const char* line_end = find_line_end(p, end);
      if (!take({p, static_cast<std::size_t>(line_end - p)})) return false;
      p = skip_line_end(line_end, end);
    }
  }
  for (const std::string& line : owned_) {
    if (!out.line(line)) return false;
  }
  return out.flush();
}

void LineList::build_index() const {
  if (indexed_) return;
  lines_.clear();
  lines_.reserve(static_cast<std::size_t>(count_));
  const char* const end = body_.data() + body_.size();
  for (const char* p = body_.data(); p < end;) {
    if (!hole_.empty() && p == hole_.data()) {
      p += hole_.size();
      continue;
    }
    const char* line_end = find_line_end(p, end);
    lines_.emplace_back(p, static_cast<std::size_t>(line_end - p));
    p = skip_line_end(line_end, end);
  }
  for (const std::string& line : owned_) lines_.emplace_back(line);
  indexed_ = true;
}

// The index grows by 4 entries while it holds at most 8, by 16 while it holds
// at most 64, and by a quarter beyond that, so appending costs constant time
// on average.
void LineList::make_room() const {
  const std::size_t room = lines_.capacity();
  if (lines_.size() < room) return;
  const std::size_t step = room <= 8 ? 4 : room <= 64 ? 16 : room / 4;
  lines_.reserve(room + step);
}

}  // namespace tarnwick
