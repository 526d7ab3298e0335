// The run from the command line to the hand-over to the edit.
#pragma once

#include <string_view>

#include "tool/block_unblock.h"

namespace tarnwick {

// Prints the banner, reads the command line and either shows the usage screen
// or makes the edit. Failures pass through to the caller.
void run(std::string_view command_line);

}  // namespace tarnwick
