// The tool's one edit: add or delete the loopback entry for a name.
#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

enum class RunMode { None, Block, Unblock };

// The bytes "a" to "z" changed to "A" to "Z"; every other byte as it is.
std::string to_upper_ascii(std::string_view text);

// Blocks or unblocks `name` in the hosts file at `path`: prints at most one
// message line and saves the file, or prints "Cannot load PATH hosts file"
// when the file does not exist. Raises the hosts file's failures unchanged.
void block_or_unblock(RunMode mode, std::string_view name, const std::string& path);

}  // namespace tarnwick
