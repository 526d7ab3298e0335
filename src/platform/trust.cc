// Who is trusted with the files a run keeps beside the file it edits: one
// rule for every companion on every system. The backends find the facts; this
// decides.
#include "platform/common.h"

namespace tarnwick::platform {

bool trusted_companion(Companion companion, const CompanionFacts& facts) {
  const bool trusted_maker = facts.by_file_owner || facts.by_administrator || facts.by_this_user;
  if (!facts.plain_file) return false;
  // A temporary file is only ever removed, never read: who made it is enough.
  if (companion == Companion::kTemporary) return trusted_maker;
  // A journal is played back over the file, with what only the administrator
  // may give it: nobody but its maker may have changed it, not even those who
  // may write the file. A writer's journal is vouched for by the mark it set
  // on the file.
  if (companion == Companion::kJournal) return (trusted_maker || facts.vouched_by_mark) && !facts.others_may_write;
  // A lock file is only held, never read: those who may write the file may
  // share it, but nobody else may so much as open it, by this name or another.
  return trusted_maker && facts.one_name && !facts.others_may_open;
}

}  // namespace tarnwick::platform
