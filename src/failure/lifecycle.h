// Start-up, the end of the run, and the outermost handling of failures.
//
// Between start_up and the end of the run the failure services are in place:
// runtime error conditions become Failures, and the outermost handler writes the
// failure report. Outside that time (very early, and during the final clean-up)
// they take the runtime-error path: "Runtime error NNN at ADDRESS" and the
// number as exit status.
#pragma once

#include <cstdint>
#include <string_view>

#include "failure/failure.h"

namespace tarnwick {

enum class RuntimeCondition { kIo = 0, kOutOfMemory = 1, kInvalidPointer = 2 };

// Prepares the process and puts the failure services in place.
void start_up();

// The exit sequence: a recorded runtime error is reported, the failure
// services go down, the output channel writes out what it holds (a failure
// there is never reported), and the process ends with `status`.
[[noreturn]] void end_run(int status);

// The outermost handler: reports `failure` and ends the run with status 1.
[[noreturn]] void report_failure(const Failure& failure);

// Raises the Failure for `condition` at `address` (for kIo, an EInOutError for
// `io_code`), or, while the failure services are not in place, ends the run
// with the runtime-error report.
[[noreturn]] void runtime_error(RuntimeCondition condition, const void* address,
                                std::int32_t io_code = 0);

// Raises EInOutError when the output channel holds a pending I/O error, and
// clears it.
void check_io();

// A message line: the text, CR LF, and the check.
void write_message(std::string_view text);

}  // namespace tarnwick
