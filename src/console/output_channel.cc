#include "console/output_channel.h"

#include <cstring>
#include <utility>

namespace tarnwick {
namespace {

thread_local std::int32_t t_pending_io_error = 0;

void set_pending(std::int32_t code) { t_pending_io_error = code; }

OutputChannel g_standard_channel;

}  // namespace

bool OutputChannel::open() {
  const platform::FileType type = sink_->type();
  if (type == platform::FileType::kUnknown) return false;
  line_write_out_ = type == platform::FileType::kCharacter;
  open_ = true;
  pending_ = 0;
  return true;
}

bool OutputChannel::write_out() {
  if (pending_ == 0) return true;
  const std::size_t count = pending_;
  pending_ = 0;  // a failed write drops these bytes
  const platform::ErrorCode error = sink_->write(std::string_view(buffer_, count));
  if (error != 0) set_pending(static_cast<std::int32_t>(error));
  return error == 0;
}

void OutputChannel::write_text(std::string_view bytes) {
  if (!open_ && !open()) {
    set_pending(kIoCannotOpen);
    return;
  }
  for (;;) {
    const std::size_t space = kBufferSize - pending_;
    if (bytes.size() < space) {
      if (!bytes.empty()) std::memcpy(buffer_ + pending_, bytes.data(), bytes.size());
      pending_ += bytes.size();
      return;
    }
    std::memcpy(buffer_ + pending_, bytes.data(), space);
    pending_ = kBufferSize;
    bytes.remove_prefix(space);
    if (!write_out()) return;  // the rest of the text is dropped
  }
}

void OutputChannel::write_line() {
  write_text("\r\n");
  if (!open_) {
    set_pending(kIoNotOpen);
  } else if (line_write_out_) {
    write_out();
  }
}

void OutputChannel::close() {
  if (open_) write_out();
}

OutputChannel& standard_channel() { return g_standard_channel; }

void write_text(std::string_view text) { g_standard_channel.write_text(text); }
void write_line() { g_standard_channel.write_line(); }
void close_channel() { g_standard_channel.close(); }

std::int32_t take_pending_io_error() { return std::exchange(t_pending_io_error, 0); }

}  // namespace tarnwick
