// The output channel: every message line of the tool goes to standard output
// through it.
//
// Bytes collect in a 128-byte buffer, which is written out the moment it becomes
// exactly full. On a character device (a console) each line is also written out
// when it ends; redirected output otherwise leaves only in full blocks and at the
// final write-out. A failed write is not an error at the call: its code waits in
// the thread's pending I/O error, for whoever takes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "console/output_sink.h"

namespace tarnwick {

// The channel's own codes in the pending I/O error.
inline constexpr std::int32_t kIoNotOpen = 103;
inline constexpr std::int32_t kIoCannotOpen = 105;

class OutputChannel {
 public:
  static constexpr std::size_t kBufferSize = 128;

  explicit OutputChannel(OutputSink& sink = standard_output_sink()) : sink_(&sink) {}

  // Appends the bytes, opening the channel first when it is closed.
  void write_text(std::string_view text);
  // Appends CR LF and, on a character device, writes the buffer out.
  void write_line();
  // Writes out whatever is still pending. Failures are recorded, never reported.
  void close();

 private:
  bool open();
  bool write_out();

  OutputSink* sink_;
  bool open_ = false;
  bool line_write_out_ = false;
  std::size_t pending_ = 0;
  char buffer_[kBufferSize];
};

// The process's channel on standard output, Closed until its first write.
OutputChannel& standard_channel();

void write_text(std::string_view text);
void write_line();
// The final write-out, called once at the end of the run.
void close_channel();

// Takes the pending I/O error (0 when none) and clears it.
std::int32_t take_pending_io_error();

}  // namespace tarnwick
