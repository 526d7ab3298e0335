// The report written when a failure ends the run.
#pragma once

#include <cstdint>
#include <string_view>

#include "failure/failure.h"
#include "failure/fixed_text.h"

namespace tarnwick {

inline constexpr std::size_t kReportCapacity = 1024;
using ReportText = FixedText<kReportCapacity>;

// Addresses in the reports are eight hexadecimal digits: on a 64-bit system
// an absolute address shows its low 32 bits.
using ReportAddress = std::uint32_t;

// "Exception KIND in module MODULE at ADDRESS." LF MESSAGE, with a full stop
// added unless the message is empty or already ends in one.
void format_failure_report(ReportText& out, std::string_view kind, std::string_view module,
                           ReportAddress relative_address, std::string_view message);

// "Runtime error" and `number` right-aligned in four columns, " at " and the
// address.
void format_runtime_error(ReportText& out, int number, ReportAddress address);

// The module and module-relative address the report names for a code address.
struct CodeLocation {
  char module[261];
  ReportAddress relative_address;
};
CodeLocation locate_code(const void* address);

// Write the reports as one line each; the caller decides about the check.
void write_failure_report(const Failure& failure);
void write_runtime_error_report(int number, const void* address);

}  // namespace tarnwick
