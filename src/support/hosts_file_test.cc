#include "support/hosts_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "support/failure.h"
#include "test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using platform::Call;
using testing::FakeSystem;
using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

// The kind and text of the failure `action` raises.
std::string failure_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const Failure& failure) {
    return std::string(kind_name(failure.kind())) + ": " + std::string(failure.text());
  }
  return "no failure";
}

TEST(HostsFileTest, ExistenceTest) {
  ScratchDir dir;
  const auto now = fs::file_time_type::clock::now();
  for (const char* name : {"hosts", "old", "future"}) write_file(dir.file(name), "x");
  fs::last_write_time(dir.file("old"), now - std::chrono::hours(24 * 365 * 50));
  fs::last_write_time(dir.file("future"), now + std::chrono::hours(24 * 365 * 90));  // past 2107
  fs::create_directory(dir.file("sub"));
  const std::vector<std::pair<std::string, bool>> cases = {
      {"hosts", true}, {"missing", false}, {"sub", false}, {"old", false}, {"future", false}, {"h*", true},
      {"ho?ts", true}, {"s*", false},      {"*", false},   {"z*", false},  // "." comes first and is a directory
  };
  for (const auto& [name, exists] : cases) EXPECT_EQ(is_existing_file(dir.file(name)), exists) << name;
  EXPECT_FALSE(is_existing_file(""));
}

const std::string kOld = "127.0.0.1        OLD\n# end";
const std::string kNew = "# end\r\n127.0.0.1        NEW\r\n";
const std::string kWritten = "127.0.0.1        OLD\r\n# end\r\n";

// Loads the file, drops its first line unless only `appending`, appends a
// line and saves.
void edit(const std::string& path, bool appending = false) {
  HostsFile file(path);
  LineList list;
  file.load(list);
  if (!appending) list.remove(0);
  list.append("127.0.0.1        NEW");
  file.save(list);
}

// Whatever fails, the file holds the old or the new text and nothing is left
// beside it: a route that is refused gives way to the next.
TEST(HostsFileTest, SaveKeepsTheOldContentOnEveryFailure) {
  const std::string kWriteError = "EWriteError: Stream write error";
  const std::vector<std::pair<std::vector<std::pair<Call, int>>, std::string>> cases = {
      {{}, "new"},
      {{{Call::kCreateTemporary, 1}}, "new"},
      {{{Call::kCopyMetadata, 1}}, "new"},
      {{{Call::kReplace, 1}}, "new"},
      {{{Call::kReplace, 1}, {Call::kOpenCompanion, 2}}, "new"},  // in place without a journal
      {{{Call::kWrite, 1}}, kWriteError},
      {{{Call::kSync, 1}}, kWriteError},
      {{{Call::kReplace, 1}, {Call::kWriteAt, 3}}, kWriteError},
      {{{Call::kReplace, 1}, {Call::kTruncate, 1}}, kWriteError},
      {{{Call::kReplace, 1}, {Call::kRemoveCompanion, 2}}, kWriteError},  // the journal cannot go
#ifndef _WIN32  // Windows reads the file instead of mapping it
      {{{Call::kReplace, 1}, {Call::kDetachMapping, 1}}, kWriteError},
#endif
      {{{Call::kOpenForUpdate, 1}}, "EFCreateError: Cannot create file "},
  };
  for (const auto& [failing, result] : cases) {
    SCOPED_TRACE(result + " after " + std::to_string(failing.size()) + " faults, first " +
                 (failing.empty() ? "none" : std::to_string(static_cast<int>(failing[0].first))));
    ScratchDir dir;
    const std::string path = dir.file("hosts");
    write_file(path, kOld);
    std::string failure;
    {
      FakeSystem fake;
      for (const auto& [call, occurrence] : failing) fake.fail_on(call, occurrence, platform::kErrorDiskFull);
      failure = failure_of([&] { edit(path); });
    }
    HostsFile{path};  // plays back a journal that stayed
    const std::string expected = result == "new" ? "no failure" : result;
    EXPECT_EQ(failure.substr(0, expected.size()), expected);
    EXPECT_EQ(read_file(path), result == "new" ? kNew : kOld);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"hosts"});
  }
  // A name too long for any file beside it is no obstacle either.
  ScratchDir dir;
  write_file(dir.file(std::string(250, 'h')), kOld);
  edit(dir.file(std::string(250, 'h')));
  EXPECT_EQ(read_file(dir.file(std::string(250, 'h'))), kNew);
}

// Saves, failing so that neither the new text is written whole nor the old
// one put back: the journal stays.
void leave_journal(const std::string& path, bool appending) {
  FakeSystem fake;
  if (appending) {
    fake.fail_on(Call::kWriteAt, 3, platform::kErrorDiskFull);  // the append, after the journal's two
  } else {
    fake.fail_on(Call::kReplace, 1, platform::kErrorAccessDenied);
    fake.fail_on(Call::kTruncate, 2, platform::kErrorDiskFull);  // the old text's end
  }
  fake.fail_on(Call::kTruncate, 1, platform::kErrorDiskFull);  // the new text's end, or the append's undoing
  EXPECT_EQ(failure_of([&] { edit(path, appending); }), "EWriteError: Stream write error");
}

// The next run plays a journal back before it reads the file: only over a
// file as the dead run could have left it, and only a journal a run can have
// made. Nothing planted beside the file keeps a later save from its own.
TEST(HostsFileTest, JournalIsPlayedBackOnlyOverWhatItsRunLeft) {
  struct Case {
    const char* name;
    bool appending;
    std::function<void(const std::string& path, const std::string& journal)> meddle;
    std::string expected;  // "" for the file as it was left
  };
  std::vector<Case> cases = {
      {"rewrite as left", false, nullptr, kOld},
      {"append as left", true, [](auto& path, auto&) { write_file(path, kWritten + "127.0"); }, kWritten},
      {"cut shorter", true, [](auto& path, auto&) { write_file(path, "127.0.0.1        OLD\r\n"); }, ""},
      {"grown past", true, [](auto& path, auto&) { write_file(path, kWritten + std::string(200, '#')); }, ""},
#ifndef _WIN32  // POSIX owners, permissions and symbolic links
      {"open to changes", false, [](auto&, auto& journal) { fs::permissions(journal, fs::perms::owner_all | fs::perms::others_write); }, ""},
      {"a directory", false, [](auto&, auto& journal) { fs::remove(journal); fs::create_directory(journal); }, ""},
      {"a link", false, [](auto&, auto& journal) { fs::remove(journal); fs::create_symlink("hosts", journal); }, ""},
#endif
  };
#ifndef _WIN32
  if (geteuid() == 0) {
    cases.push_back({"another user's", false, [](auto&, auto& journal) { EXPECT_EQ(lchown(journal.c_str(), 65534, 65534), 0); }, ""});
  }
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string path = dir.file("hosts");
    write_file(path, c.appending ? kWritten : kOld);
    leave_journal(path, c.appending);
    ASSERT_EQ(dir.entries(), (std::vector<std::string>{"hosts", "hosts.tarnwick-journal"}));
#ifndef _WIN32
    // It holds the file's text: its owner's alone, whatever the file allows.
    EXPECT_EQ(fs::status(path + ".tarnwick-journal").permissions(), fs::perms::owner_read | fs::perms::owner_write);
#endif
    if (c.meddle) c.meddle(path, path + ".tarnwick-journal");
    const std::string left = read_file(path);
    HostsFile{path};
    EXPECT_EQ(read_file(path), c.expected.empty() ? left : c.expected);
    write_file(path, kOld);
    leave_journal(path, false);
    HostsFile{path};
    EXPECT_EQ(read_file(path), kOld);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"hosts"});
  }
}

// The save writes exactly the file that was loaded, unchanged: a link planted
// in its place, or a change another program made, stops it before it writes.
TEST(HostsFileTest, SaveRefusesAFileSwappedOrChangedSinceTheLoad) {
  const auto append_line = [](const ScratchDir& dir) {
    std::ofstream(dir.file("hosts"), std::ios::app | std::ios::binary) << "# added meanwhile\r\n";
  };
  struct Meddling {
    std::string text;
    Call when;  // just before its first call
    std::function<void(const ScratchDir&)> act;
    std::string left;  // in the file the path names afterwards
  };
  const std::vector<Meddling> cases = {
#ifndef _WIN32
      {kOld, Call::kOpenForUpdate, [](const ScratchDir& dir) {
         fs::remove(dir.file("hosts"));
         fs::create_symlink(dir.file("secret"), dir.file("hosts"));
       }, "root only\n"},
      // While an append's journal is made durable, before the append; Windows
      // holds the file open without sharing meanwhile.
      {kWritten, Call::kSyncDirectory, append_line, kWritten + "# added meanwhile\r\n"},
#endif
      {kOld, Call::kOpenForUpdate, append_line, kOld + "# added meanwhile\r\n"},
  };
  for (const Meddling& c : cases) {
    SCOPED_TRACE(c.left);
    ScratchDir dir;
    write_file(dir.file("hosts"), c.text);
    write_file(dir.file("secret"), "root only\n");
    {
      FakeSystem fake;
      fake.before(c.when, 1, [&] { c.act(dir); });
      EXPECT_EQ(failure_of([&] { edit(dir.file("hosts"), c.text == kWritten); }),
                "EFCreateError: Cannot create file " + dir.file("hosts"));
    }
    EXPECT_EQ(read_file(dir.file("secret")), "root only\n");
    EXPECT_EQ(read_file(dir.file("hosts")), c.left);
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"hosts", "secret"}));
  }
}

#ifdef _WIN32
// A replace that fails after the old file has left its name puts a text back
// under the name before anything is reported: here the new text cannot be
// moved in, so the old one comes back, and the save goes on in place.
TEST(HostsFileTest, ReplaceThatLosesTheNameGivesItBack) {
  ScratchDir dir;
  const std::string path = dir.file("hosts");
  write_file(path, kOld);
  {
    FakeSystem fake;
    fake.before(Call::kReplace, 1, [&] { fs::rename(path, path + ".tarnwick-old"); });
    fake.fail_on(Call::kReplace, 1, 1176);  // the replacement could not be moved
    fake.fail_on(Call::kMoveFile, 1, platform::kErrorAccessDenied);
    EXPECT_EQ(failure_of([&] { edit(path); }), "no failure");
  }
  EXPECT_EQ(read_file(path), kNew);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"hosts"});
}
#endif

}  // namespace
}  // namespace tarnwick
