#include "failure/report.h"

#include <cstring>

#include "platform/platform.h"
#include "console/output_channel.h"

namespace tarnwick {

void format_failure_report(ReportText& out, std::string_view kind, std::string_view module,
                           ReportAddress relative_address, std::string_view message) {
  const bool full_stop = !message.empty() && message.back() != '.';
  out << "Exception " << kind << " in module " << module << " at ";
  out.hex(relative_address) << ".\n" << message << (full_stop ? "." : "");
}

void format_runtime_error(ReportText& out, int number, ReportAddress address) {
  out << "Runtime error";
  out.decimal(number, 4) << " at ";
  out.hex(address);
}

CodeLocation locate_code(const void* address) {
  CodeLocation location{};
  std::uintptr_t base = 0;
  const auto code = reinterpret_cast<std::uintptr_t>(address);
  if (platform::find_module(address, location.module, sizeof location.module, &base)) {
    location.relative_address = static_cast<ReportAddress>(code - base);
    return location;
  }
  // Outside every module: name the program and count from its usual load address.
  const std::string_view program = platform::program_name();
  const std::size_t n = std::min(program.size(), sizeof location.module - 1);
  std::memcpy(location.module, program.data(), n);
  location.module[n] = '\0';
  location.relative_address = code == 0 ? 0 : static_cast<ReportAddress>(code - 4096);
  return location;
}

void write_failure_report(const Failure& failure) {
  const CodeLocation location = locate_code(failure.address());
  ReportText text;
  format_failure_report(text, kind_name(failure.kind()), location.module,
                        location.relative_address, failure.text());
  write_text(text.view());
  write_line();
}

void write_runtime_error_report(int number, const void* address) {
  // Relative to the module holding the address, or absolute outside every module.
  std::uintptr_t shown = reinterpret_cast<std::uintptr_t>(address);
  char module[261];
  std::uintptr_t base = 0;
  if (platform::find_module(address, module, sizeof module, &base)) shown -= base;
  ReportText text;
  format_runtime_error(text, number, static_cast<ReportAddress>(shown));
  write_text(text.view());
  write_line();
}

}  // namespace tarnwick
