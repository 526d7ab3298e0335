// Feeds arbitrary command lines to the splitter: no argument may exceed 4096
// bytes, none may be empty, and nothing may be read beyond the line (the
// line is copied into a block of exactly its size for AddressSanitizer).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "tool/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto line = std::make_unique<char[]>(size == 0 ? 1 : size);
  if (size != 0) std::memcpy(line.get(), data, size);
  const tarnwick::CommandLine command_line(std::string_view(line.get(), size));
  const int count = command_line.argument_count();
  for (int i = 1; i <= count; ++i) {
    const std::string argument = command_line.argument(i);
    if (argument.empty() || argument.size() > tarnwick::kMaxArgumentLength) std::abort();
  }
  if (!command_line.argument(count + 1).empty()) std::abort();
  return 0;
}
