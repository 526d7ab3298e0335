// Reading the hosts file, and the place a run finds it at: its site, its
// lock, and what a run that died left there. Saving it: save.cc.
#include "hosts/hosts_file.h"

#include <cstring>

#include "failure/failure.h"
#include "hosts/journal.h"
#include "hosts/open_file.h"

namespace tarnwick {

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

}  // namespace tarnwick
