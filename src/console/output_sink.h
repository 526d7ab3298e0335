// Where the output channel's bytes go: standard output, or whatever a test
// puts in its place.
#pragma once

#include <string_view>

#include "platform/platform.h"

namespace tarnwick {

class OutputSink {
 public:
  virtual ~OutputSink() = default;
  // What the bytes go to, found when the channel opens; kUnknown when there is
  // nothing to write to.
  virtual platform::FileType type() = 0;
  // Writes all of `bytes`; gives 0, or the error code of the write that failed.
  virtual platform::ErrorCode write(std::string_view bytes) = 0;
};

// The process's standard output.
OutputSink& standard_output_sink();

}  // namespace tarnwick
