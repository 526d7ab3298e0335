// Feeds arbitrary command lines to the splitter: no argument may be empty or
// exceed 4096 bytes, and nothing may be read beyond the line (the line is
// copied into a block of exactly its size for AddressSanitizer).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tool/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto line = std::make_unique<char[]>(size);
  if (size != 0) std::memcpy(line.get(), data, size);
  const tarnwick::CommandLine command_line(std::string_view(line.get(), size));
  for (int i = 1; i <= command_line.argument_count() + 1; ++i) {
    const std::size_t length = command_line.argument(i).size();
    if ((length == 0) != (i > command_line.argument_count()) || length > tarnwick::kMaxArgumentLength) std::abort();
  }
  return 0;
}
