// Reading and writing the hosts file.
//
// The text format: CR LF, LF alone and CR alone each end a line on reading; every
// line is written back followed by CR LF. Bytes are never converted.
#pragma once

#include <string>

#include "support/line_list.h"

namespace tarnwick {

// Cuts `text` into `list`, which keeps the bytes. The text ends at its first NUL.
void split_text(Bytes text, LineList& list);
// Every line followed by CR LF, in one block of exactly the right size.
Bytes join_lines(const LineList& list);

// True when `path` names an existing file that is not a directory.
bool is_existing_file(const std::string& path);
// Replaces the content of `list` with the lines of the file at `path`.
// Raises EFOpenError, EReadError (failed or short read, a NUL byte) or
// EOutOfMemory; the list is untouched on failure.
void load_lines(const std::string& path, LineList& list);
// Makes the file at `path` hold exactly the joined text of `list`. Raises
// EFCreateError or EWriteError, and on any failure the file keeps its content.
void save_lines(const LineList& list, const std::string& path);

}  // namespace tarnwick
