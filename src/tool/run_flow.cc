#include "tool/run_flow.h"

#include "failure/lifecycle.h"
#include "tool/command_line.h"

namespace tarnwick {
namespace {

void show_usage() {
  for (const char* line : {
           "USAGE: tarnwick [/B|/U] FQDN hosts_file",
           "",
           "   /B   - Block",
           "   /U   - Unblock",
           "   FQDN - DNS address to block / unblock.  eg. ads.example.com",
           "   hosts_file is the full path to your system hosts file.",
           "              usually %SYSTEMROOT%\\system32\\drivers\\etc\\hosts",
           "",
       }) {
    write_message(line);
  }
}

// Chooses the mode from the first argument: "/B" or "/U" in either case.
RunMode choose_mode(std::string_view switch_argument) {
  const std::string upper = to_upper_ascii(switch_argument);
  if (upper == "/U") return RunMode::Unblock;
  if (upper == "/B") return RunMode::Block;
  return RunMode::None;
}

}  // namespace

void run(std::string_view command_line) {
  write_message("TARNWICK - blocks and unblocks host names in the hosts file, version " TARNWICK_VERSION);
  write_message("");
  const CommandLine arguments(command_line);
  const RunMode mode = choose_mode(arguments.argument(1));
  const std::string name = arguments.argument(2);
  // A line break in the name would split the entry and inject lines of its own.
  const bool name_is_one_line = name.find_first_of("\r\n") == std::string::npos;
  if (arguments.argument_count() != 3 || mode == RunMode::None || !name_is_one_line) {
    show_usage();
    return;
  }
  block_or_unblock(mode, name, arguments.argument(3));
}

}  // namespace tarnwick
