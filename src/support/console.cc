#include "support/console.h"

#include <string>

#include "platform/platform.h"

namespace tarnwick {

void write_message(std::string_view text) {
  const platform::Handle out = platform::standard_output();
  if (out < 0) return;
  std::string line(text);
  line += "\r\n";
  platform::write(out, line);
}

}  // namespace tarnwick
