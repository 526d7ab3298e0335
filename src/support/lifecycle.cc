#include "support/lifecycle.h"

#include "platform/platform.h"
#include "support/failure_report.h"
#include "support/output_channel.h"

namespace tarnwick {

void start_up() { platform::initialize_process(); }

void end_run(int status) {
  close_channel();
  platform::exit_process(status);
}

void report_failure(const Failure& failure) {
  write_failure_report(failure);
  // A report that cannot be written is not reported again: that would never end
  // on an output that refuses every write.
  take_pending_io_error();
  end_run(1);
}

}  // namespace tarnwick
