// Reading and saving the hosts file.
//
// NOTES ON THE SAVE
//
// A save takes one of three routes. A text already in its written form (CR LF
// after every line) that only gains lines is APPENDED to. Any other text is
// written to a temporary file beside the file, which is RENAMED over it. Where
// a rename cannot keep the file what it is (the file has several names, is a
// mount point or the source of a bind mount, or its attributes cannot be
// copied) the text is written IN PLACE. Appending and writing in place change
// the file itself, so they keep a rollback journal (journal.cc): in the mark
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
//     through any name finds what is left of it. [PowerCutTest.LeavesTheOldOrTheNewText,
//     StoppedRunTest.LeavesTheOldOrTheNewText]
//  3. The journal's end is durable before the run ends: a run that ended
//     with status 0 is never undone. A journal beside the file goes first,
//     then the mark; a mark whose journal is gone shows the new text whole.
//     Where a removed name may come back after a power cut (Windows), the
//     journal's head is cleared and flushed first, and a journal not whole is
//     never played back. [PowerCutTest.LeavesTheOldOrTheNewText cuts completed
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
//     SaveProtocolTest.AJournalIsPlayedBackOnlyOverTheWriteItGuarded,
//     SaveProtocolTest.AKilledSaveIsRecoveredThroughTheFilesOtherNames,
//     EndToEndWindowsTest.CompanionsAreTrustedByOwnerAndAccessList]
//  5. The signal handlers know only complete names: a name is published
//     whole with one store, and withdrawn before its file goes. An abnormal
//     end removes the lock file and the temporary file, never the journal.
//     [HostsFileTest.HandlersSeeOnlyWholeNames,
//     EndToEndTest.FaultsAreReportedAndTheRunsFilesRemoved,
//     SaveProtocolTest.AJournalIsKnownByTheMarkOnItsFile]
//  6. Runs on one file take turns, however many, whichever name they came by:
//     runs through one name share its lock file, and runs through every name
//     meet on the file itself (lock.h). A run waits for another run
//     without limit, whichever lock it holds; a reader's lock holds it up 10
//     seconds at most (then EFOpenError), and not at all on a file with one
//     name that only its owner may write. A squatter at the lock file's name
//     never splits runs that way. [SaveProtocolTest.HundredsOfOverlappingRunsKeepEveryEdit,
//     SaveProtocolTest.HundredsOfRunsThroughFourNamesTakeTurns,
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
//     beside find it. [SaveProtocolTest.AKilledSaveIsRecoveredThroughTheFilesOtherNames,
//     SaveProtocolTest.AFileMountedElsewhereKeepsItsInode,
//     PowerCutTest.LeavesTheOldOrTheNewText and StoppedRunTest.LeavesTheOldOrTheNewText
//     run the next run through the other name]
//  8. The file stays what it was to its users: owner, permissions and every
//     extended attribute, file capabilities included, which the system
//     drops whenever a file is written and only the administrator puts back
//     (from a journal only if the administrator's; never from a mark).
//     [EndToEndPosixTest.BlockKeepsLinkAccessListAndAttributes,
//     SaveProtocolTest.FileCapabilitySurvivesEverySaveRoute]
//  9. Nothing a run makes outlives the next run through its name, which takes
//     its lock file and removes the temporary files, under every name a run
//     gives one, that trusted users made; its journal and its mark, the next
//     run through any name. [StoppedRunTest.LeavesTheOldOrTheNewText,
//     EndToEndWindowsTest.WhatRunsLeftIsClearedByTheNext,
//     PowerCutTest.LeavesTheOldOrTheNewText, HostsFileTest.HandlersSeeOnlyWholeNames]
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
// Commit points, after which the new text is the outcome:
//   append:   the journal's end made durable (invariant 3); before it,
//             the next run cuts the file back to its old length.
//   rename:   the rename; made durable by syncing the directory (on Windows
//             by flushing the renamed file), whose failure is reported as
//             EWriteError with the new text in place.
//   in place: as append; before it, the next run writes the old bytes back.
#include "hosts/hosts_file.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "failure/failure.h"
#include "hosts/interrupt_hold.h"
#include "hosts/journal.h"
#include "hosts/open_file.h"

namespace tarnwick {

using platform::Handle;

namespace {

// A temporary file beside the file, made without a name where the system
// allows, to be written with a text in place of the file's. It owns its name:
// keep() moves it over the file in one step; on every other way out it is
// discarded, closed and its name removed.
class TemporaryFile {
 public:
  // `source` is open on the file, whose content is `source_text`.
  TemporaryFile(const platform::Site& site, Handle source, std::string_view source_text)
      : site_(site), file_(platform::create_temporary(site)), source_(source), source_text_(source_text) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    file_.close();
    platform::discard_temporary();
  }

  Handle get() const { return file_.get(); }

  // Appends a piece of the text. A piece of the file's own text is copied
  // from the file, so that a file system that can share it does. The disk
  // starts on every 1 MiB as it is written: the sync at the end then waits
  // for the last of it, not for all of it.
  bool append(std::string_view piece) {
    constexpr std::size_t kWriteBackEvery = 1 << 20;
    const std::less<const char*> before;
    const char* const text_end = source_text_.data() + source_text_.size();
    const bool in_file = !before(piece.data(), source_text_.data()) && !before(text_end, piece.data() + piece.size());
    while (!piece.empty()) {
      const std::string_view part = piece.substr(0, kWriteBackEvery - unstarted_);
      const bool appended = in_file ? platform::copy_range(source_, static_cast<std::uint64_t>(part.data() - source_text_.data()),
                                                           get(), part)
                                    : platform::write(get(), part);
      if (!appended) return false;
      piece.remove_prefix(part.size());
      unstarted_ += part.size();
      if (unstarted_ == kWriteBackEvery) {
        platform::start_write_back(get());
        unstarted_ = 0;
      }
    }
    return true;
  }

  // False where the system refuses; the file then holds its old text.
  bool keep() { return platform::replace_with_temporary(site_, file_.handle()); }

 private:
  const platform::Site& site_;
  OpenFile file_;
  const Handle source_;
  const std::string_view source_text_;
  std::size_t unstarted_ = 0;  // bytes written since the disk last started
};

// Writes a text over a file from a position on, so that every 512-byte unit
// from the file's start is written by a single call: a run stopped anywhere
// leaves each unit old or new, as the journal expects (journal.h).
class UnitWriter {
 public:
  static constexpr std::uint64_t kUnit = 512;

  UnitWriter(Handle file, std::uint64_t at) : file_(file), at_(at) {}

  bool write(std::string_view piece) {
    if (carried_ > 0) {  // the unit begun by an earlier piece is completed first
      const auto n = std::min<std::size_t>(piece.size(), kUnit - (at_ + carried_) % kUnit);
      std::memcpy(carry_ + carried_, piece.data(), n);
      carried_ += n;
      piece.remove_prefix(n);
      if ((at_ + carried_) % kUnit != 0) return true;  // the piece ended inside the unit
      if (!flush()) return false;
    }
    const std::size_t past = (at_ + piece.size()) % kUnit;  // bytes after the last whole unit
    const std::size_t direct = past > piece.size() ? 0 : piece.size() - past;
    if (direct > 0 && !platform::write_at(file_, static_cast<std::int64_t>(at_), piece.substr(0, direct))) return false;
    at_ += direct;
    std::memcpy(carry_, piece.data() + direct, piece.size() - direct);
    carried_ = piece.size() - direct;
    return true;
  }

  bool flush() {
    if (carried_ > 0 && !platform::write_at(file_, static_cast<std::int64_t>(at_), {carry_, carried_})) return false;
    at_ += carried_;
    carried_ = 0;
    return true;
  }

 private:
  Handle file_;
  std::uint64_t at_;  // where the carried bytes go
  char carry_[kUnit];
  std::size_t carried_ = 0;
};

[[noreturn]] void raise_write_error() { raise_failure(Kind::EWriteError, "Stream write error"); }
[[noreturn]] void raise_create_error(const std::string& path) {
  raise_failure(Kind::EFCreateError, "Cannot create file ", path);
}

}  // namespace

void split_text(Bytes text, LineList& list) {
  // The text ends at its first NUL byte.
  const std::size_t nul = text.view().find('\0');
  const std::size_t length = nul == std::string_view::npos ? text.size() : nul;
  list.assign(std::move(text), length);
}

Bytes join_lines(const LineList& list) {
  Bytes no_staging;  // every piece goes straight into the text
  std::size_t total = 0;
  list.write_joined(no_staging, [&](std::string_view piece) {
    total += piece.size();
    return true;
  });
  Bytes text = Bytes::allocate(total);
  char* out = text.data();
  list.write_joined(no_staging, [&](std::string_view piece) {
    std::memcpy(out, piece.data(), piece.size());
    out += piece.size();
    return true;
  });
  return text;
}

bool is_existing_file(const std::string& path) { return platform::is_existing_file(path.c_str()); }

HostsFile::Place::~Place() {
  if (found) platform::close(site.directory);
}

HostsFile::HostsFile(std::string path) : path_(std::move(path)) {
  // A path that names no file is left to the existence test and the load.
  place_.found = platform::locate(path_.c_str(), place_.site);
  if (!place_.found) return;
  lock_.take(place_.site, path_);
  recover_journal(place_.site, path_);
  platform::remove_leftovers(place_.site);
}

void HostsFile::load(LineList& list) {
  OpenFile file(platform::open_for_reading(path_.c_str()));
  if (file.get() < 0) raise_failure(Kind::EFOpenError, "Cannot open file ", path_);
  Bytes text;
  if (!platform::stamp(file.get(), loaded_) || !read_rest(file.get(), text)) {
    raise_failure(Kind::EReadError, "Stream read error");
  }
  file.close();
  const std::size_t length = text.size();
  list.assign(std::move(text), length);  // which notes a NUL as it counts the lines
  // A NUL byte cannot be held in a line list: the bytes after it would be lost.
  if (list.holds_nul()) raise_failure(Kind::EReadError, "Cannot read file ", path_, ": it holds a NUL byte");
  was_loaded_ = true;
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
  // not be the file; so would a mount of it.
  if (loaded_.links == 1 && !platform::mounted_elsewhere(place_.site) &&
      replace_through_temporary(target, list, staging) == Outcome::kSaved) {
    return;
  }
  if (!target.is_open()) open_unchanged(target, list.loaded_text());  // let go for a rename the system refused
  rewrite_in_place(target, list, staging);
}

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

// Writes the text to a temporary file beside the target and moves it into the
// target's place. Refused, with the target untouched, where the system
// refuses the temporary file or the move, or the temporary file cannot be
// made what the target is to its users.
HostsFile::Outcome HostsFile::replace_through_temporary(OpenFile& target, const LineList& list, Bytes& staging) {
  TemporaryFile temporary(place_.site, target.get(), list.loaded_text());  // invariant 5: published whole, or without a name
  const Handle handle = temporary.get();
  // Invariant 10: only a directory that can never hold it refuses it.
  if (handle < 0 && platform::refused_for_good(platform::last_error())) return Outcome::kRefused;
  if (handle < 0) raise_create_failure(path_);
  if (!list.write_joined(staging, [&](std::string_view piece) { return temporary.append(piece); })) raise_write_error();
  // Invariant 8: after the text, which would drop a capability.
  if (!platform::copy_metadata(target.get(), handle)) {
    const platform::ErrorCode error = platform::last_error();
    if (error == platform::kErrorDiskFull || error == platform::kErrorNotEnoughMemory) raise_create_failure(path_);
    return Outcome::kRefused;
  }
  if (!platform::sync(handle)) raise_write_error();
  // Invariant 1, as late as it can be, and after the last copy from the
  // file, which read it as it was then: a change made meanwhile stays, and so
  // does a file put in its place, which the move would replace.
  if (!unchanged(target.get(), list.loaded_text()) || !platform::names_file(place_.site, target.get())) {
    raise_create_error(path_);
  }
  // Let go first: a system may refuse to replace a file held open.
  target.close();
  // Commit point: the move, made durable with the directory.
  if (!temporary.keep()) return Outcome::kRefused;
  if (!platform::sync_directory(place_.site)) raise_write_error();
  return Outcome::kSaved;
}

// Writes the text over the file, journalled, from the first byte that
// differs; on failure the old text is written back.
void HostsFile::rewrite_in_place(const OpenFile& target, const LineList& list, Bytes& staging) {
  const Handle handle = target.get();
  // The loaded text is the file's content, and must no longer show the file
  // once the file is written over.
  if (!list.detach_text()) raise_write_error();
  const std::string_view old_text = list.loaded_text();
  const TextSource new_text = [&](const PieceWriter& write) { return list.write_joined(staging, write); };
  std::uint64_t new_length = 0;
  std::uint64_t offset = UINT64_MAX;  // where the new text first differs from the old
  new_text([&](std::string_view piece) {
    const std::string_view old_part = old_text.substr(std::min<std::uint64_t>(new_length, old_text.size()));
    if (offset == UINT64_MAX && piece.data() != old_part.data()) {  // a piece of the old text in its place is the same
      const auto [in_piece, in_old] = std::mismatch(piece.begin(), piece.end(), old_part.begin(), old_part.end());
      if (in_piece != piece.end()) offset = new_length + static_cast<std::uint64_t>(in_piece - piece.begin());
    }
    new_length += piece.size();
    return true;
  });
  offset = std::min({offset, new_length, static_cast<std::uint64_t>(old_text.size())});
  platform::Capability capability;
  if (!platform::capability_of(handle, capability)) raise_write_error();  // invariant 8
  // Invariant 2; where the directory can never hold a journal the file is
  // written without one, marked all the same (invariants 7 and 10).
  Journal journal(place_.site, path_, handle, capability, old_text, offset, new_length, new_text);
  check_marked(handle, old_text, journal);  // invariant 1
  // Invariant 4: every unit old or new, wherever the run stops.
  UnitWriter out(handle, offset);
  std::uint64_t at = 0;
  const bool written = new_text([&](std::string_view piece) {
    const std::uint64_t skip = std::min<std::uint64_t>(piece.size(), offset > at ? offset - at : 0);
    at += piece.size();
    return out.write(piece.substr(skip));
  }) && out.flush();
  // Commit point: the journal's end, made durable (invariant 3).
  if (written && platform::truncate(handle, static_cast<std::int64_t>(new_length)) &&
      platform::restore_capability(handle, capability) && platform::sync(handle) && journal.end(handle)) {
    return;
  }
  // Where putting the old text back fails too, the journal stays for the next run.
  if (platform::write_at(handle, static_cast<std::int64_t>(offset), old_text.substr(offset)) &&
      platform::truncate(handle, static_cast<std::int64_t>(old_text.size())) &&
      platform::restore_capability(handle, capability) && platform::sync(handle)) {
    journal.end(handle);
  }
  raise_write_error();
}

}  // namespace tarnwick
