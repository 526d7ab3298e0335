#include "support/output_channel.h"

#include <cstring>

#include "support/failure.h"
#include "support/fixed_text.h"
#include "support/lifecycle.h"

namespace tarnwick {
namespace {

thread_local std::int32_t t_pending_io_error = 0;

void set_pending(std::int32_t code) { t_pending_io_error = code; }

OutputChannel g_standard_channel;

}  // namespace

bool OutputChannel::open() {
  const platform::Handle handle = platform::standard_output();
  if (handle == platform::kInvalidHandle) {
    set_pending(static_cast<std::int32_t>(platform::last_error()));
    return false;
  }
  const platform::FileType type = platform::file_type(handle);
  if (type == platform::FileType::kUnknown) {
    platform::close(handle);
    set_pending(kIoCannotOpen);
    return false;
  }
  handle_ = handle;
  line_write_out_ = type == platform::FileType::kCharacter;
  open_ = true;
  pending_ = 0;
  return true;
}

bool OutputChannel::write_out() {
  if (pending_ == 0) return true;
  const std::size_t count = pending_;
  pending_ = 0;  // a failed write drops these bytes
  if (platform::write_output(handle_, std::string_view(buffer_, count))) return true;
  set_pending(static_cast<std::int32_t>(platform::last_error()));
  return false;
}

void OutputChannel::write_bytes(std::string_view bytes) {
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

void OutputChannel::write_text(std::string_view text) { write_bytes(text); }

void OutputChannel::write_line() {
  write_bytes("\r\n");
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

std::int32_t take_pending_io_error() {
  const std::int32_t code = t_pending_io_error;
  t_pending_io_error = 0;
  return code;
}

Failure io_failure(std::int32_t code) {
  FixedText<32> text;
  switch (code) {
    case 2: text << "File not found"; break;
    case 3: text << "Invalid filename"; break;
    case 4: text << "Too many open files"; break;
    case 5: text << "File access denied"; break;
    case 100: text << "Read beyond end of file"; break;
    case 101: text << "Disk full"; break;
    case 106: text << "Invalid numeric input"; break;
    default: text << "I/O error "; text.decimal(code); break;
  }
  Failure failure(Kind::EInOutError, nullptr, text.view());
  failure.set_io_code(code);
  return failure;
}

__attribute__((noinline)) void check_io() {
  const std::int32_t code = take_pending_io_error();
  if (code != 0) runtime_error(RuntimeCondition::kIo, __builtin_return_address(0), code);
}

void write_message(std::string_view text) {
  if (!text.empty()) write_text(text);
  write_line();
  check_io();
}

}  // namespace tarnwick
