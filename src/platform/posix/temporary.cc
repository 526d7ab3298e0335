// POSIX backend: temporary files beside the file, made without a name where
// the system allows (O_TMPFILE), and named for the instant before they move.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "platform/posix/system.h"

namespace tarnwick::platform {
namespace {

// The name of the temporary file `number` beside the file at `site`.
bool temporary_name(const Site& site, std::uint64_t number, char (&out)[NAME_MAX + 1]) {
  return companion_name(site, Companion::kTemporary, out) &&
         (number == 0 || append_process_number(out, sizeof out, static_cast<unsigned long>(number)));
}

}  // namespace

Handle create_temporary(const Site& site, std::uint64_t& number) {
  if (injected(Call::kCreateTemporary)) return kInvalidHandle;
#ifdef O_TMPFILE
  // Without a name nothing is left behind, whatever ends the process.
  const int unnamed = openat(site.directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (unnamed >= 0) return number = kNoName, unnamed;
#endif
  // Named after the process, so that no other run can take it for its own.
  number = static_cast<std::uint64_t>(getpid());
  char name[NAME_MAX + 1];
  if (!temporary_name(site, number, name)) return kInvalidHandle;
  const int fd = openat(site.directory, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  return fd >= 0 ? fd : fail_with_errno(kInvalidHandle);
}

#ifdef O_TMPFILE
// A name left by a run that died in that instant is taken over.
bool name_temporary(const Site& site, Handle temporary, std::uint64_t& number) {
  char name[NAME_MAX + 1];
  if (!temporary_name(site, number = 0, name)) return false;
  char self[64];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd_of(temporary));
  const auto link = [&] {
    return linkat(AT_FDCWD, self, site.directory, name, AT_SYMLINK_FOLLOW) == 0 ||
           (errno != EEXIST && linkat(fd_of(temporary), "", site.directory, name, AT_EMPTY_PATH) == 0);
  };
  bool named = link() || (errno == EEXIST && unlinkat(site.directory, name, 0) == 0 && link());
  // Kept by another user's file this user may not remove: the process's own
  // name then, which the next run knows too.
  if (!named && errno != EEXIST && temporary_name(site, number = static_cast<std::uint64_t>(getpid()), name)) named = link();
  return named || fail_with_errno(false);
}
#else
bool name_temporary(const Site&, Handle, std::uint64_t&) { return fail_with(kErrorGenFailure, false); }  // all have names here
#endif

bool move_temporary(const Site& site, Handle& temporary, std::uint64_t number) {
  if (injected(Call::kReplace)) return false;
  char name[NAME_MAX + 1];
  if (!temporary_name(site, number, name)) return false;
  if (renameat(site.directory, name, site.directory, name_of(site)) != 0) return fail_with_errno(false);
  ::close(fd_of(temporary));
  temporary = kInvalidHandle;
  return true;
}

void remove_temporary(const Site& site, std::uint64_t number) {
  char name[NAME_MAX + 1];
  if (temporary_name(site, number, name)) unlinkat(site.directory, name, 0);
}

}  // namespace tarnwick::platform
