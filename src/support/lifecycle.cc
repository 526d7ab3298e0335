#include "support/lifecycle.h"

#include "platform/platform.h"
#include "support/failure_report.h"

namespace tarnwick {

void start_up() { platform::initialize_process(); }

void end_run(int status) { platform::exit_process(status); }

void report_failure(const Failure& failure) {
  write_failure_report(failure);
  end_run(1);
}

}  // namespace tarnwick
