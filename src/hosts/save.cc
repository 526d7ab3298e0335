// Saving the hosts file: the checks every route makes, and the choice of
// route. Each route reads top-down in a file of its own: append.cc,
// rename.cc, in_place.cc.
//
// NOTES ON THE SAVE
//
// A save takes one of three routes. A text already in its written form (CR LF
// after every line) that only gains lines is APPENDED to. One that only loses
// its last lines is written IN PLACE, which then only CUTS the file short.
// Any other text is written to a temporary file beside the file, which is
// RENAMED over it. Where a rename cannot keep the file what it is (the file
// has several names, is a mount point or the source of a bind mount, or its
// attributes cannot be copied) the text is written IN PLACE. Appending and
// writing in place change the file itself, so they keep a rollback journal
// (journal.cc) of the bytes they change or cut off: in the mark
// the file carries while it changes, where it fits, or beside the file, named
// by the mark. Only a directory that can never hold a journal lets a save go
// on without one, as a tool without journals would; the file is marked all
// the same.
//
// The run's own files are the lock file, the journal and the temporary file;
// the signal handlers know them through the run's
// files (run_files.cc in the platform layer).
//
// A file may be reached by several names at once: a hard link, a symbolic
// link, a bind mount (every container's /etc/hosts), in this mount namespace
// or another. Runs through any of them are runs on one file.
//
// These must hold, whatever stops the run (a failure, a signal, a kill, a full
// disk, a power cut); the test that shows each is named in brackets:
//
//  1. The file that is written is the file that was loaded, as it was loaded:
//     not a file put in its place since, nor one another program wrote
//     meanwhile; otherwise EFCreateError and nothing is written. A new change
//     time or file number alone (overlayfs copies a file up when it is opened
//     for writing) is no change when the length, last write and bytes are
//     the same. A writer who puts the last write's time back on purpose
//     is not caught. [HostsFileTest.SaveLeavesTheOldOrTheNewText,
//     SaveProtocolTest.FirstEditOfAFileInAnOverlaysLowerLayer]
//  2. The journal and the mark are durable before the first byte of the file
//     changes: a journal beside the file, its bytes and its name. The mark
//     names such a journal before its first byte is written, so that a run
//     through any name finds what is left of it. [StoppedRunTest.LeavesTheOldOrTheNewText,
//     power cut on ext4 and XFS]
//  3. The journal's end is durable before the run ends: a run that ended
//     with status 0 is never undone. A journal beside the file goes first,
//     then the mark; a mark whose journal is gone shows the new text whole.
//     Where a removed name may come back after a power cut (Windows), the
//     journal's head is cleared and flushed first, and a journal not whole is
//     never played back. [StoppedRunTest.LeavesTheOldOrTheNewText cuts completed
//     runs too, EndToEndWindowsTest.WhatRunsLeftIsClearedByTheNext]
//  4. A journal is played back only onto a state its run could have left:
//     any mix, 512-byte unit by unit, of the old text and the text written,
//     with a length between the two (past a shorter new end, the old bytes
//     or the zeros cutting the file leaves). Any other state holds a later
//     edit; a journal beside the file is then set aside, never deleted, since
//     it may hold the only old text. Writes in place end on unit boundaries,
//     so that a stopped run leaves every unit old or new. Only a journal a
//     run trusted with the file made, and nobody else may have changed, is
//     played back (made by the file's owner, the administrator or this user,
//     or the one the file's mark names, which only a writer can set: one
//     rule for every companion, platform/trust.cc); no other is
//     removed, and a file one shows half written is not built upon
//     (EFOpenError). Nor is one whose mark shows it neither the old text nor
//     the new one whole, where its journal is out of reach.
//     [HostsFileTest.SaveLeavesTheOldOrTheNewText,
//     SaveProtocolTest.WhatAKilledSaveLeavesIsRecoveredThroughAnyName,
//     EndToEndWindowsTest.CompanionsAreTrustedByOwnerAndAccessList]
//  5. The signal handlers know only complete names: a name is published
//     whole with one store, and withdrawn before its file goes. An abnormal
//     end removes the lock file and the temporary file, never the journal.
//     [HostsFileTest.HandlersSeeOnlyWholeNames,
//     EndToEndTest.FaultsAreReportedAndTheRunsFilesRemoved,
//     SaveProtocolTest.WhatAKilledSaveLeavesIsRecoveredThroughAnyName]
//  6. Runs on one file take turns, however many, whichever name they came by:
//     runs through one name share its lock file, and runs through every name
//     meet on the file itself (lock.h). A run waits for another run
//     without limit, whichever lock it holds; a reader's lock holds it up 10
//     seconds at most (then EFOpenError), and not at all on a file with one
//     name that only its owner may write. A squatter at the lock file's name
//     never splits runs that way. [SaveProtocolTest.HundredsOfRunsTakeTurnsThroughEveryName,
//     SaveProtocolTest.APausedRunIsWaitedForThroughEveryNameAndLock,
//     SaveProtocolTest.ReadersLocksHoldARunUpTenSecondsAtMost,
//     EndToEndWindowsTest.OverlappingRunsTakeTurns,
//     EndToEndWindowsTest.UserWhoMayNotWriteTheFolderEditsTheFile,
//     EndToEndWindowsTest.TheFilesOwnLockIsWaitedForWhileTheFileChanges,
//     EndToEndWindowsTest.FileHeldElsewhereIsReportedAndKept,
//     SaveProtocolTest.LockFilesOthersPutInTheWay,
//     SaveProtocolTest.UnprivilegedRunInADirectoryItMayNotWrite]
//  7. A file with several names is one file. It is never renamed over where
//     this run can see another name (a second link, a mount of it, or it a
//     mount), and whenever it changes in place it carries the change in its
//     mark, so that runs through any name, in any mount namespace, recover
//     what a run through another left. Where the file system keeps no marks
//     (Windows under Wine, vfat), only runs through the name the journal is
//     beside find it. [SaveProtocolTest.WhatAKilledSaveLeavesIsRecoveredThroughAnyName,
//     SaveProtocolTest.AFileMountedElsewhereKeepsItsInode,
//     StoppedRunTest.LeavesTheOldOrTheNewText runs the next run through
//     the other name]
//  8. The file stays what it was to its users: owner, permissions and every
//     extended attribute, file capabilities included, which the system
//     drops whenever a file is written and only the administrator puts back
//     (from a journal only if the administrator's; never from a mark).
//     [SaveProtocolTest.MetadataSurvivesEverySaveRouteThroughALink]
//  9. Nothing a run makes outlives the next run through its name, which takes
//     its lock file and removes the temporary files, under every name a run
//     gives one, that trusted users made; its journal and its mark, the next
//     run through any name. [StoppedRunTest.LeavesTheOldOrTheNewText,
//     EndToEndWindowsTest.WhatRunsLeftIsClearedByTheNext,
//     HostsFileTest.HandlersSeeOnlyWholeNames]
// 10. Nothing that passes sends a save on without its journal, nor to
//     writing in place: only a directory that can never hold a file beside
//     the hosts file (platform::refused_for_good) refuses the temporary file
//     or the journal. A limit of the process or the system, a full disk or a
//     quota fails the save before the file changes (EFCreateError,
//     EOutOfMemory). [EndToEndPosixTest.LimitsFailTheRunAndKeepTheOldText,
//     HostsFileTest.SaveLeavesTheOldOrTheNewText]
//
// What the routes rely on from elsewhere: LineList::write_joined allocates
// nothing once it has begun to write, so out of memory stops a save only
// before the file changes [FaultInjectionTest.NoFailureLosesTheHostsFile
// fails every allocation in turn]; the journal's format, and its judgment of
// the state a stopped run left (journal.h); the platform's calls never follow
// a link planted at a name they are given (platform.h).
//
// What a reader that rereads the file meanwhile (the resolver does, on every
// lookup) sees: the old text or the new one, on the append and rename routes;
// on the cut, the old text cut short anywhere inside the lines removed; in
// place, any mix of the two.
//
// Commit points, after which the new text is the outcome:
//   append:   the journal's end made durable (invariant 3); before it,
//             the next run cuts the file back to its old length.
//   rename:   the rename; made durable by syncing the directory (on Windows
//             by flushing the renamed file), whose failure is reported as
//             EWriteError with the new text in place.
//   in place: as append; before it, the next run writes the old bytes back.
#include "hosts/save.h"

#include "failure/failure.h"
#include "failure/lifecycle.h"
#include "hosts/hosts_file.h"
#include "hosts/interrupt_hold.h"
#include "hosts/journal.h"
#include "hosts/open_file.h"

namespace tarnwick {

using platform::Handle;

__attribute__((noinline)) void raise_write_error() { raise_failure(Kind::EWriteError, "Stream write error"); }

__attribute__((noinline)) void raise_create_error(const std::string& path) {
  raise_failure(Kind::EFCreateError, "Cannot create file ", path);
}

__attribute__((noinline)) void raise_create_failure(const std::string& path, platform::ErrorCode error) {
  if (error == platform::kErrorNotEnoughMemory) runtime_error(RuntimeCondition::kOutOfMemory, __builtin_return_address(0));
  throw Failure(Kind::EFCreateError, __builtin_return_address(0), "Cannot create file ", path);
}

// Invariant 1. A stamp that differs only in the change time or the file's
// number is taken for the file's once its bytes are found the same.
bool HostsFile::unchanged(Handle file, std::string_view loaded_text) {
  platform::FileStamp now;
  if (!was_loaded_ || !platform::stamp(file, now)) return false;
  if (now == loaded_) return true;
  Bytes bytes;
  if (now.size != loaded_.size || now.modified != loaded_.modified || platform::seek(file, 0, platform::SeekFrom::kBegin) != 0 ||
      !read_rest(file, bytes) || bytes.view() != loaded_text) {
    return false;
  }
  loaded_ = now;
  return true;
}

// As the last step before the first write, invariant 1's check. The journal
// marked the file (invariant 7), which changes its change time and nothing
// else, so that time is taken for the file's own, and any other change stops
// the save. A change another program made meanwhile is not overwritten; the
// save's journal and mark go.
void HostsFile::check_marked(Handle file, std::string_view loaded_text, Journal& journal) {
  platform::FileStamp now;
  if (journal.marked() && platform::stamp(file, now)) {
    platform::FileStamp marked = loaded_;
    marked.changed = now.changed;
    if (now == marked) loaded_ = now;
  }
  if (unchanged(file, loaded_text)) return;
  journal.end(file);
  raise_create_error(path_);
}

// Opens the loaded file for writing as `target`, and raises EFCreateError
// where it is gone or no longer as loaded (invariant 1).
void HostsFile::open_unchanged(OpenFile& target, std::string_view loaded_text) {
  target.reset(place_.found ? platform::open_for_update(place_.site) : platform::kInvalidHandle);
  if (!target.is_open() || !unchanged(target.get(), loaded_text)) raise_create_error(path_);
}

// The save, route by route; each route either saves, or is refused before it
// changes the file and leaves it to the next, or raises.
void HostsFile::save(const LineList& list) {
  OpenFile target;
  open_unchanged(target, list.loaded_text());
  // A text already in its written form only grows: what it gains is
  // appended, and a text that gains nothing is not written at all.
  const bool grows = list.extends_loaded_text();
  const std::string appended = grows ? list.appended_text() : std::string();
  if (grows && appended.empty()) return;
  const InterruptHold hold;  // invariant 5: a signal waits until the files are as the handlers know them
  if (grows && append(target, list.loaded_text(), appended) == Outcome::kSaved) return;
  // Out of memory stops a route only before it writes: what writing the
  // whole text needs is had first, and write_joined() takes no more.
  constexpr std::size_t kStagingSize = 256 * 1024;
  Bytes staging = Bytes::allocate(kStagingSize);
  // Invariant 7: another name would keep the old text, so a new file would
  // not be the file; so would a mount of it. A text cut short is only cut.
  if (!list.cuts_loaded_text() && loaded_.links == 1 && !platform::mounted_elsewhere(place_.site) &&
      replace_through_temporary(target, list, staging) == Outcome::kSaved) {
    return;
  }
  if (!target.is_open()) open_unchanged(target, list.loaded_text());  // let go for a rename the system refused
  rewrite_in_place(target, list, staging);
}

}  // namespace tarnwick
