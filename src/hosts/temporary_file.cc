#include "hosts/temporary_file.h"

#include <functional>

namespace tarnwick {

using platform::Companion;

TemporaryFile::TemporaryFile(const platform::Site& site, platform::Handle source, std::string_view source_text)
    : site_(site), file_(platform::create_temporary(site, number_)), source_(source), source_text_(source_text) {
  if (file_.is_open() && number_ != platform::kNoName) platform::publish_run_file(Companion::kTemporary, site_, number_);
}

TemporaryFile::~TemporaryFile() {
  file_.close();
  discard();
}

bool TemporaryFile::append(std::string_view piece) {
  constexpr std::size_t kWriteBackEvery = 1 << 20;
  const std::less<const char*> before;
  const char* const text_end = source_text_.data() + source_text_.size();
  const bool in_file = !before(piece.data(), source_text_.data()) && !before(text_end, piece.data() + piece.size());
  while (!piece.empty()) {
    const std::string_view part = piece.substr(0, kWriteBackEvery - unstarted_);
    const bool appended =
        in_file ? platform::copy_range(source_, static_cast<std::uint64_t>(part.data() - source_text_.data()), get(), part)
                : platform::write(get(), part);
    if (!appended) return false;
    piece.remove_prefix(part.size());
    unstarted_ += part.size();
    if (unstarted_ == kWriteBackEvery) {
      platform::start_write_back(get());
      unstarted_ = 0;
    }
  }
  return true;
}

bool TemporaryFile::keep() {
  // A file without a name gets one for the instant before it moves.
  if (number_ == platform::kNoName) {
    if (!platform::name_temporary(site_, get(), number_)) return number_ = platform::kNoName, false;
    platform::publish_run_file(Companion::kTemporary, site_, number_);
  }
  // Withdrawn before the name goes: a handler could otherwise remove the file
  // that has just taken the place of the hosts file.
  platform::withdraw_run_file(Companion::kTemporary);
  if (!platform::move_temporary(site_, file_.handle(), number_)) return false;  // discarded on the way out
  number_ = platform::kNoName;
  return true;
}

void TemporaryFile::discard() {
  if (number_ == platform::kNoName) return;
  platform::withdraw_run_file(Companion::kTemporary);
  platform::remove_temporary(site_, number_);
  number_ = platform::kNoName;
}

}  // namespace tarnwick
