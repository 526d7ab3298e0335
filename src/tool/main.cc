#include <new>

#include "platform/platform.h"
#include "failure/failure.h"
#include "failure/lifecycle.h"
#include "tool/run_flow.h"

int main(int argc, char** argv) {
  tarnwick::start_up();
  try {
    tarnwick::run(tarnwick::platform::command_line(argc, argv));
  } catch (const tarnwick::Failure& failure) {
    tarnwick::report_failure(failure);
  } catch (const std::bad_alloc&) {
    tarnwick::report_failure(tarnwick::Failure(tarnwick::Kind::EOutOfMemory, nullptr, "Out of memory"));
  }
  tarnwick::end_run(0);
}
