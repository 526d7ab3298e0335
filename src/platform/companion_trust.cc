// Who is trusted with the files a run keeps beside the file it edits: one
// rule for every companion on every system. The backends find the facts; this
// decides.
#include "platform/common.h"

namespace tarnwick::platform {

bool trusted_companion(Companion companion, const CompanionFacts& facts) {
  if (!facts.plain_file) return false;
  const bool trusted_maker = facts.by_file_owner || facts.by_administrator || facts.by_this_user;
  switch (companion) {
    case Companion::kTemporary:
      // Only ever removed, never read: who made it is enough.
      return trusted_maker;
    case Companion::kJournal:
      // Played back over the file, with what only the administrator may
      // give it: nobody but its maker may have changed it, not even those
      // who may write the file. A writer's journal is vouched for by the
      // mark it set on the file.
      return (trusted_maker || facts.vouched_by_mark) && !facts.others_may_write;
    case Companion::kLock:
      // Only held, never read: those who may write the file may share it,
      // but nobody else may so much as open it, by this name or another.
      return trusted_maker && facts.one_name && !facts.others_may_open;
  }
  return false;
}

}  // namespace tarnwick::platform
