// Reading and writing the hosts file.
//
// The text format: CR LF, LF alone and CR alone each end a line on reading; every
// line is written back followed by CR LF. Bytes are never converted.
#pragma once

#include <string>

#include "platform/platform.h"
#include "hosts/line_list.h"
#include "hosts/lock.h"

namespace tarnwick {

class Journal;
class OpenFile;

// Cuts `text` into `list`, which keeps the bytes. The text ends at its first NUL.
void split_text(Bytes text, LineList& list);
// Every line followed by CR LF, in one block of exactly the right size.
Bytes join_lines(const LineList& list);

// True when `path` names an existing file that is not a directory.
bool is_existing_file(const std::string& path);

// The hosts file one run edits. Made before anything else is done with the
// file: the path is resolved to the file it names once, the run lock is taken,
// a journal left by a run that died is played back, and the temporary files
// such a run left are removed.
class HostsFile {
 public:
  // Raises EFOpenError when the file cannot be had in one piece: another
  // program holds it for long, or a journal cannot be played back.
  explicit HostsFile(std::string path);
  HostsFile(const HostsFile&) = delete;
  HostsFile& operator=(const HostsFile&) = delete;

  // Replaces the content of `list` with the lines of the file. Raises
  // EFOpenError, EReadError (failed or short read, a NUL byte) or
  // EOutOfMemory; the list is untouched on failure.
  void load(LineList& list);
  // Makes the loaded file hold exactly the joined text of `list`, which is the
  // list that load() filled, edited or not. A text already in its joined form
  // that only gains lines is appended to, and one that gains nothing is not
  // written; any other is written anew. Raises
  // EFCreateError when the file cannot be written, or is no longer the file
  // that was loaded as it was loaded (then nothing is written anywhere), and
  // EWriteError when writing fails. On any failure the file keeps its content.
  void save(const LineList& list);

 private:
  // The place of the file, its directory held for the run.
  struct Place {
    platform::Site site;
    bool found = false;
    ~Place();
  };

  // How a route ends that raises no failure: the file holds the new text,
  // or the route was refused before it changed anything.
  enum class Outcome { kSaved, kRefused };

  bool unchanged(platform::Handle file, std::string_view loaded_text);
  void open_unchanged(OpenFile& target, std::string_view loaded_text);
  void check_marked(platform::Handle file, std::string_view loaded_text, Journal& journal);
  Outcome append(const OpenFile& target, std::string_view old_text, std::string_view appended);
  Outcome replace_through_temporary(OpenFile& target, const LineList& list, Bytes& staging);
  void rewrite_in_place(const OpenFile& target, const LineList& list, Bytes& staging);

  std::string path_;
  Place place_;
  RunLock lock_;
  platform::FileStamp loaded_;
  bool was_loaded_ = false;
};

}  // namespace tarnwick
