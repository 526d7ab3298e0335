// Start-up and the end of the run.
#pragma once

#include "support/failure.h"

namespace tarnwick {

// Prepares the process before the tool's own logic runs.
void start_up();

// Ends the process with `status`, after everything pending is written out.
[[noreturn]] void end_run(int status);

// The outermost handler: reports `failure` and ends the run with status 1.
[[noreturn]] void report_failure(const Failure& failure);

}  // namespace tarnwick
