#include "hosts/line_list.h"

#include <algorithm>
#include <cstring>

#include "failure/failure.h"
#include "hosts/line_scan.h"

namespace tarnwick {
namespace {

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
  holds_nul_ = counted.holds_nul;
  loaded_count_ = static_cast<std::int64_t>(counted.lines);
  removed_.clear();
  appended_.clear();
  found_ = {};
}

std::string_view LineList::loaded_line(std::int64_t index) const {
  const char* const body_end = body_.data() + body_.size();
  if (index == found_.index) {
    return {found_.line, static_cast<std::size_t>(find_line_end(found_.line, body_end) - found_.line)};
  }
  auto left = static_cast<std::size_t>(index);
  for (const std::string_view run : runs()) {
    const char* p = run.data();
    const char* const end = p + run.size();
    left = skip_lines(p, end, left);
    if (p < end) return {p, static_cast<std::size_t>(find_line_end(p, end) - p)};
  }
  return {};  // not reached for an index below loaded_count_
}

std::vector<std::string_view> LineList::runs() const {
  std::vector<std::string_view> runs;
  const char* start = body_.data();
  for (const std::string_view hole : removed_) {
    runs.emplace_back(start, static_cast<std::size_t>(hole.data() - start));
    start = hole.data() + hole.size();
  }
  runs.emplace_back(start, static_cast<std::size_t>(body_.data() + body_.size() - start));
  return runs;
}

std::string_view LineList::get(std::int64_t index) const {
  if (index < 0 || index >= count()) raise_list_index_error(index);
  if (index >= loaded_count_) return appended_[static_cast<std::size_t>(index - loaded_count_)];
  return loaded_line(index);
}

std::int64_t LineList::append(std::string_view line) {
  appended_.emplace_back(line);
  return count() - 1;
}

void LineList::remove(std::int64_t index) {
  if (index < 0 || index >= count()) raise_list_index_error(index);
  if (index >= loaded_count_) {
    appended_.erase(appended_.begin() + (index - loaded_count_));
    return;
  }
  const std::string_view line = loaded_line(index);
  const char* after = skip_line_end(line.data() + line.size(), body_.data() + body_.size());
  const auto later = std::find_if(removed_.begin(), removed_.end(),
                                  [&](std::string_view hole) { return std::less<>()(line.data(), hole.data()); });
  removed_.insert(later, {line.data(), static_cast<std::size_t>(after - line.data())});
  --loaded_count_;
  found_ = {};
}

std::int64_t LineList::find_last(std::string_view needle) const {
  if (needle.empty()) return count() - 1;
  for (std::size_t k = appended_.size(); k-- > 0;) {
    if (appended_[k].find(needle) != std::string_view::npos) return loaded_count_ + static_cast<std::int64_t>(k);
  }
  // A loaded line holds no line break, so a needle with one is in none;
  // without one, a hit cannot span two lines and each run is searched whole.
  if (needle.find_first_of("\r\n") != std::string_view::npos) return -1;
  const std::vector<std::string_view> left = runs();
  for (std::size_t r = left.size(); r-- > 0;) {
    const std::size_t hit = find_last_in(left[r], needle);
    if (hit == std::string_view::npos) continue;
    // The hit's index: the lines before its line, less the removed ones,
    // counted from the nearer end of the text (those from its line on are
    // all the lines there are, less those before it).
    const char* const line = find_line_start(body_.data(), left[r].data() + hit);
    const std::string_view before(body_.data(), static_cast<std::size_t>(line - body_.data()));
    const std::string_view after = body_.substr(before.size());
    const std::size_t lines = before.size() <= after.size()
                                  ? count_lines(before).lines
                                  : static_cast<std::size_t>(loaded_count_) + removed_.size() - count_lines(after).lines;
    // The removal that usually follows finds the line without counting again.
    found_ = {static_cast<std::int64_t>(lines - r), line};
    return found_.index;
  }
  return -1;
}

bool LineList::cuts_loaded_text() const {
  if (!crlf_only_ || !appended_.empty() || removed_.empty()) return false;
  // The removed lines are in text order and never overlap: they are the
  // text's last when they meet end to end and reach its end.
  const char* end = removed_.front().data();
  for (const std::string_view hole : removed_) {
    if (hole.data() != end) return false;
    end += hole.size();
  }
  return end == body_.data() + body_.size();
}

std::string LineList::appended_text() const {
  std::string text;
  for (const std::string& line : appended_) {
    text += line;
    text += "\r\n";
  }
  return text;
}

bool LineList::write_joined(Bytes& staging, const PieceWriter& write) const {
  JoinWriter out(staging, write);
  const char* const body_end = body_.data() + body_.size();
  for (const std::string_view run : runs()) {
    if (crlf_only_) {
      if (!run.empty() && !out.block(run)) return false;
      continue;
    }
    const char* const end = run.data() + run.size();
    for (const char* p = run.data(); p < end;) {
      const char* line_end = find_line_end(p, end);
      const bool joined = body_end - line_end >= 2 && line_end[0] == '\r' && line_end[1] == '\n';
      const std::string_view line(p, static_cast<std::size_t>(line_end - p));
      if (!(joined ? out.block({p, line.size() + 2}) : out.line(line))) return false;
      p = skip_line_end(line_end, end);
    }
  }
  for (const std::string& line : appended_) {
    if (!out.line(line)) return false;
  }
  return out.flush();
}

}  // namespace tarnwick
