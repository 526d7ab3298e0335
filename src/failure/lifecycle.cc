#include "failure/lifecycle.h"

#include <optional>

#include "platform/platform.h"
#include "failure/report.h"
#include "failure/fixed_text.h"
#include "console/output_channel.h"
#include "failure/system_fault.h"

namespace tarnwick {
namespace {

bool g_failure_services = false;
// Made at start-up, so that running out of memory can be reported without memory.
std::optional<Failure> g_out_of_memory;
std::optional<Failure> g_invalid_pointer;

// A runtime error waiting for its report in the exit sequence; 0 when none.
int g_runtime_error = 0;
const void* g_runtime_error_address = nullptr;

[[noreturn]] void end_with_runtime_error(int number, const void* address) {
  g_runtime_error = number;
  g_runtime_error_address = address;
  end_run(number);
}

[[noreturn]] void report_and_end(const Failure& failure) {
  write_failure_report(failure);
  // A report that cannot be written is not reported again: that would never end
  // on an output that refuses every write.
  take_pending_io_error();
  end_run(1);
}

// The EInOutError for an I/O code.
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

// Runs on the fault handler's own stack; uses fixed buffers only.
void on_fault(const platform::FaultRecord& fault) {
  if (platform::debugger_attached()) return;  // leave the fault to the debugger
  platform::remove_run_files();
  if (!g_failure_services) end_with_runtime_error(describe_fault(fault.code).number, fault.fault_address);
  // A mapped file that shrank under the run could not be read whole.
  if (fault.in_mapped_file) report_and_end(Failure(Kind::EReadError, fault.fault_address, "Stream read error"));
  report_and_end(failure_from_fault(fault));
}

}  // namespace

void start_up() {
  platform::initialize_process();
  g_out_of_memory.emplace(Kind::EOutOfMemory, nullptr, "Out of memory");
  g_invalid_pointer.emplace(Kind::EInvalidPointer, nullptr, "Invalid pointer operation");
  platform::install_fault_handler(&on_fault);
  g_failure_services = true;
}

void end_run(int status) {
  if (g_runtime_error != 0) {
    write_runtime_error_report(g_runtime_error, g_runtime_error_address);
    g_runtime_error = 0;
  }
  g_failure_services = false;
  g_out_of_memory.reset();
  g_invalid_pointer.reset();
  close_channel();
  platform::exit_process(status);
}

void report_failure(const Failure& failure) {
  if (!g_failure_services) end_with_runtime_error(217, failure.address());
  report_and_end(failure);
}

void runtime_error(RuntimeCondition condition, const void* address, std::int32_t io_code) {
  if (!g_failure_services) {
    const int number = condition == RuntimeCondition::kIo             ? io_code
                       : condition == RuntimeCondition::kOutOfMemory ? 203
                                                                      : 204;
    end_with_runtime_error(number, address);
  }
  Failure failure = condition == RuntimeCondition::kIo          ? io_failure(io_code)
                    : condition == RuntimeCondition::kOutOfMemory ? *g_out_of_memory
                                                                  : *g_invalid_pointer;
  failure.set_address(address);
  throw failure;
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
