#include "tool/block_unblock.h"

#include "failure/lifecycle.h"
#include "hosts/hosts_file.h"

namespace tarnwick {

std::string to_upper_ascii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

void block_or_unblock(RunMode mode, std::string_view name, const std::string& path) {
  // Taken before the existence test too: a save elsewhere may replace the file
  // in steps during which it is briefly missing.
  HostsFile file(path);
  if (!is_existing_file(path)) {
    write_message("Cannot load " + path + " hosts file");
    return;
  }
  const std::string target = to_upper_ascii(name);
  LineList lines;
  file.load(lines);
  if (lines.count() == 0) return;

  // The last line holding the name, compared byte for byte.
  const std::int64_t match = lines.find_last(target);

  if (mode == RunMode::Block && match < 0) {
    lines.append("127.0.0.1        " + target);
    write_message("Entry added.");
  } else if (mode == RunMode::Unblock && match >= 0) {
    lines.remove(match);
    write_message("Entry removed");
  }
  file.save(lines);
}

}  // namespace tarnwick
