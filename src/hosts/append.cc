// The append route: a text already in its written form that only gains
// lines has them appended, journalled. The notes on the save: save.cc.
#include "failure/failure.h"
#include "hosts/hosts_file.h"
#include "hosts/journal.h"
#include "hosts/open_file.h"
#include "hosts/save.h"

namespace tarnwick {

using platform::Handle;

// Appends `appended` to the file, whose content is `old_text`, journalled so
// that a run that dies halfway has the file cut back to the old length.
// Refused, with the file untouched, where no journal can be kept at all.
HostsFile::Outcome HostsFile::append(const OpenFile& target, std::string_view old_text, std::string_view appended) {
  const Handle handle = target.get();
  const auto old_length = static_cast<std::int64_t>(old_text.size());
  platform::Capability capability;  // invariant 8: writing drops it
  if (!platform::capability_of(handle, capability)) return Outcome::kRefused;
  // Invariant 2: durable before the first byte changes.
  Journal journal(place_.site, path_, handle, capability, old_text, old_text.size(), old_text.size() + appended.size(),
                  [&](const PieceWriter& write) { return write(old_text) && write(appended); });
  if (!journal.kept()) {
    journal.end(handle);
    return Outcome::kRefused;
  }
  check_marked(handle, old_text, journal);  // invariants 7 and 1
  // Commit point: the journal's end, made durable (invariant 3).
  if (platform::write_at(handle, old_length, appended) &&
      platform::restore_capability(handle, capability) && platform::sync(handle) && journal.end(handle)) {
    return Outcome::kSaved;
  }
  // Where cutting it back fails too, the journal stays for the next run.
  if (platform::truncate(handle, old_length) && platform::restore_capability(handle, capability) &&
      platform::sync(handle)) {
    journal.end(handle);
  }
  raise_write_error();
}

}  // namespace tarnwick
