// Message lines for the person at the console.
#pragma once

#include <string_view>

namespace tarnwick {

// Writes `text` and CR LF to standard output.
void write_message(std::string_view text);

}  // namespace tarnwick
