#include "support/hosts_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

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

Bytes bytes_of(std::string_view text) {
  Bytes bytes = Bytes::allocate(text.size());
  if (!text.empty()) std::memcpy(bytes.data(), text.data(), text.size());
  return bytes;
}

std::vector<std::string> lines_of(const LineList& list) {
  std::vector<std::string> lines;
  for (std::int64_t i = 0; i < list.count(); ++i) lines.emplace_back(list.get(i));
  return lines;
}

// The kind and text of the failure `action` raises.
std::string failure_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const Failure& failure) {
    return std::string(kind_name(failure.kind())) + ": " + std::string(failure.text());
  }
  return "no failure";
}

struct TextCase {
  std::string text;
  std::vector<std::string> lines;
  std::string saved;
};

TEST(HostsFileTest, SplitsOnEveryLineEndAndJoinsWithCrLf) {
  const std::vector<TextCase> cases = {
      {"", {}, ""},
      {"a", {"a"}, "a\r\n"},
      {"a\r\n", {"a"}, "a\r\n"},
      {"a\r\n\r\n", {"a", ""}, "a\r\n\r\n"},
      {"a\nb", {"a", "b"}, "a\r\nb\r\n"},
      {"a\rb", {"a", "b"}, "a\r\nb\r\n"},
      {"a\r\nb", {"a", "b"}, "a\r\nb\r\n"},
      {"a\n\rb", {"a", "", "b"}, "a\r\n\r\nb\r\n"},
      {"a\r\r\nb", {"a", "", "b"}, "a\r\n\r\nb\r\n"},
      {"\r\n", {""}, "\r\n"},
      {"\xef\xbb\xbf# bom\t \xe9 \n", {"\xef\xbb\xbf# bom\t \xe9 "}, "\xef\xbb\xbf# bom\t \xe9 \r\n"},
      {std::string("a\nb\0c\nd", 7), {"a", "b"}, "a\r\nb\r\n"},
  };
  for (const TextCase& c : cases) {
    LineList list;
    list.append("left over");
    split_text(bytes_of(c.text), list);
    EXPECT_EQ(lines_of(list), c.lines);
    EXPECT_EQ(std::string(join_lines(list).view()), c.saved);
  }
}

TEST(HostsFileTest, ExistenceTest) {
  ScratchDir dir;
  write_file(dir.file("hosts"), "x");
  write_file(dir.file("old"), "x");
  fs::last_write_time(dir.file("old"), fs::file_time_type::clock::now() - std::chrono::hours(24 * 365 * 50));
  write_file(dir.file("future"), "x");  // past 2107, which a DOS date cannot hold
  fs::last_write_time(dir.file("future"), fs::file_time_type::clock::now() + std::chrono::hours(24 * 365 * 90));
  fs::create_directory(dir.file("sub"));
  const std::vector<std::pair<std::string, bool>> cases = {
      {dir.file("hosts"), true},   {dir.file("missing"), false}, {dir.file("sub"), false},
      {dir.file("old"), false},    {dir.file("future"), false}, {dir.file("h*"), true},        {dir.file("ho?ts"), true},
      {dir.file("s*"), false},     {dir.file("*"), false},  // "." comes first and is a directory
      {dir.file("z*"), false},     {"", false},
  };
  for (const auto& [path, exists] : cases) EXPECT_EQ(is_existing_file(path), exists) << path;
}

TEST(HostsFileTest, LoadFailures) {
  ScratchDir dir;
  write_file(dir.file("hosts"), "a\r\n");
  write_file(dir.file("utf16"), std::string("a\0b\0", 4));
  LineList list;
  list.append("kept");
  const std::string wildcard = dir.file("h*");
  EXPECT_EQ(failure_of([&] { HostsFile(wildcard).load(list); }), "EFOpenError: Cannot open file " + wildcard);
  EXPECT_EQ(failure_of([&] { HostsFile(dir.file("utf16")).load(list); }),
            "EReadError: Cannot read file " + dir.file("utf16") + ": it holds a NUL byte");
  {
    FakeSystem fake;  // no mapping, and the read fails
    fake.fail_on(Call::kMapFile, 1, platform::kErrorNotEnoughMemory);
    fake.fail_on(Call::kRead, 1, platform::kErrorIoDevice);
    EXPECT_EQ(failure_of([&] { HostsFile(dir.file("hosts")).load(list); }), "EReadError: Stream read error");
  }
  {
    FakeSystem fake;  // another program holds the file for long
    fake.fail_on(Call::kLockRun, 1, platform::kErrorSharingViolation);
    EXPECT_EQ(failure_of([&] { HostsFile{dir.file("hosts")}; }), "EFOpenError: Cannot open file " + dir.file("hosts"));
  }
  EXPECT_EQ(lines_of(list), std::vector<std::string>{"kept"});
  for (const bool mapped : {true, false}) {
    FakeSystem fake;
    if (!mapped) fake.fail_on(Call::kMapFile, 1, platform::kErrorNotEnoughMemory);
    HostsFile(dir.file("hosts")).load(list);
    EXPECT_EQ(lines_of(list), std::vector<std::string>{"a"});
  }
}

const std::string kOld = "127.0.0.1        OLD\n# end";
const std::string kNew = "# end\r\n127.0.0.1        NEW\r\n";

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

struct SaveFault {
  const char* name;
  std::vector<std::pair<Call, int>> failing;  // each call fails on that occurrence
  std::string result;                         // "new", or the failure
};

// Whatever fails, the file holds the old or the new text and nothing is left
// beside it.
TEST(HostsFileTest, SaveKeepsTheOldContentOnEveryFailure) {
  const std::string kWriteError = "EWriteError: Stream write error";
  const std::vector<SaveFault> cases = {
      {"no fault", {}, "new"},
      {"temporary refused", {{Call::kCreateTemporary, 1}}, "new"},
      {"metadata not kept", {{Call::kCopyMetadata, 1}}, "new"},
      {"rename refused", {{Call::kReplace, 1}}, "new"},
      {"no journal in place", {{Call::kReplace, 1}, {Call::kOpenCompanion, 2}}, "new"},
      {"temporary write fails", {{Call::kWrite, 1}}, kWriteError},
      {"temporary sync fails", {{Call::kSync, 1}}, kWriteError},
      {"in-place write fails", {{Call::kReplace, 1}, {Call::kWriteAt, 3}}, kWriteError},
      {"in-place truncate fails", {{Call::kReplace, 1}, {Call::kTruncate, 1}}, kWriteError},
      {"journal cannot be removed", {{Call::kReplace, 1}, {Call::kRemoveCompanion, 2}}, kWriteError},
#ifndef _WIN32  // Windows reads the file instead of mapping it
      {"text cannot be detached", {{Call::kReplace, 1}, {Call::kDetachMapping, 1}}, kWriteError},
#endif
      {"open refused", {{Call::kOpenForUpdate, 1}}, "EFCreateError: Cannot create file "},
  };
  for (const SaveFault& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string path = dir.file("hosts");
    write_file(path, kOld);
    std::string failure;
    {
      FakeSystem fake;
      for (const auto& [call, occurrence] : c.failing) fake.fail_on(call, occurrence, platform::kErrorDiskFull);
      failure = failure_of([&] { edit(path); });
    }
    HostsFile{path};  // plays back a journal that stayed
    if (c.result == "new") {
      EXPECT_EQ(failure, "no failure");
      EXPECT_EQ(read_file(path), kNew);
    } else {
      EXPECT_EQ(failure.substr(0, c.result.size()), c.result);
      EXPECT_EQ(read_file(path), kOld);
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"hosts"});
  }
}

// A save that fails and cannot put the old text back leaves its journal; the
// next run plays it back before it reads the file.
// Saves in place, failing so that neither the new text is written whole nor
// the old one put back: the journal stays.
void leave_journal(const std::string& path) {
  FakeSystem fake;
  fake.fail_on(Call::kReplace, 1, platform::kErrorAccessDenied);
  fake.fail_on(Call::kTruncate, 1, platform::kErrorDiskFull);  // the new text's end
  fake.fail_on(Call::kTruncate, 2, platform::kErrorDiskFull);  // the old text's end
  EXPECT_EQ(failure_of([&] { edit(path); }), "EWriteError: Stream write error");
}

TEST(HostsFileTest, JournalLeftByAFailedRestoreIsPlayedBack) {
  ScratchDir dir;
  const std::string path = dir.file("hosts");
  write_file(path, kOld);
  leave_journal(path);
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"hosts", "hosts.tarnwick-journal"}));
  EXPECT_NE(read_file(path), kOld);
#ifndef _WIN32
  // It holds the file's text: its owner's alone, whatever the file allows.
  EXPECT_EQ(fs::status(dir.file("hosts.tarnwick-journal")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
#endif
  {
    HostsFile file(path);
    LineList list;
    file.load(list);
    EXPECT_EQ(std::string(list.loaded_text()), kOld);
  }
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"hosts"});
}

// A journal is played back only over a file as the dead run could have left
// it: not over one someone has since cut shorter, or made longer than the
// save would have.
TEST(HostsFileTest, JournalIsNotPlayedBackOverALaterEdit) {
  const std::string kWritten = "127.0.0.1        OLD\r\n# end\r\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"127.0.0.1        OLD\r\n", "127.0.0.1        OLD\r\n"},                    // cut shorter
      {kWritten + std::string(200, '#') + "\r\n", kWritten + std::string(200, '#') + "\r\n"},  // grown past
      {kWritten + "127.0", kWritten},  // part of the append: the dead run's
  };
  for (const auto& [edited, expected] : cases) {
    ScratchDir dir;
    const std::string path = dir.file("hosts");
    write_file(path, kWritten);
    {
      FakeSystem fake;  // the append fails, and so does cutting it back
      fake.fail_on(Call::kWriteAt, 3, platform::kErrorDiskFull);
      fake.fail_on(Call::kTruncate, 1, platform::kErrorDiskFull);
      EXPECT_EQ(failure_of([&] { edit(path, true); }), "EWriteError: Stream write error");
    }
    ASSERT_EQ(dir.entries(), (std::vector<std::string>{"hosts", "hosts.tarnwick-journal"}));
    write_file(path, edited);
    HostsFile{path};
    EXPECT_EQ(read_file(path), expected);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"hosts"});
  }
}

#ifndef _WIN32  // POSIX owners, permissions and symbolic links
// What others put beside the file is not taken for the run's own: a journal
// another user could have written is not played back, and a name taken by
// something else does not stop the save.
TEST(HostsFileTest, CompanionsOthersCouldHaveMadeAreIgnored) {
  if (!testing::running_as_root()) GTEST_SKIP() << "needs root to give a file away";
  struct Planted {
    const char* name;
    std::function<void(const std::string& journal)> plant;
  };
  const std::vector<Planted> cases = {
      {"another user's", [](const std::string& journal) { fs::permissions(journal, fs::perms::owner_read); testing::give_to_nobody(journal); }},
      {"open to changes", [](const std::string& journal) { fs::permissions(journal, fs::perms::owner_all | fs::perms::others_write); }},
      {"a directory", [](const std::string& journal) { fs::remove(journal); fs::create_directory(journal); }},
      {"a link", [](const std::string& journal) { fs::remove(journal); fs::create_symlink("hosts", journal); }},
  };
  for (const Planted& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string path = dir.file("hosts");
    write_file(path, kOld);
    leave_journal(path);
    c.plant(path + ".tarnwick-journal");
    const std::string left = read_file(path);
    {
      // Not played back: the run starts from what it finds.
      HostsFile file(path);
      LineList list;
      file.load(list);
      EXPECT_EQ(std::string(list.loaded_text()), left);
    }
    // Nor does it keep a save from journalling its own rewrite in place.
    write_file(path, kOld);
    leave_journal(path);
    HostsFile{path};
    EXPECT_EQ(read_file(path), kOld);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"hosts"});
  }
  // A name too long for a journal beside it is no obstacle either.
  ScratchDir dir;
  const std::string path = dir.file(std::string(250, 'h'));
  write_file(path, kOld);
  edit(path);
  EXPECT_EQ(read_file(path), kNew);
}

TEST(HostsFileTest, SaveKeepsLinksAndPermissions) {
  ScratchDir dir;
  write_file(dir.file("real"), kOld);
  fs::permissions(dir.file("real"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink("real", dir.file("link"));
  fs::create_hard_link(dir.file("real"), dir.file("hard"));
  edit(dir.file("link"));
  EXPECT_TRUE(fs::is_symlink(dir.file("link")));
  EXPECT_EQ(read_file(dir.file("real")), kNew);
  EXPECT_EQ(read_file(dir.file("hard")), kNew);  // rewritten in place, still one file
  EXPECT_EQ(fs::status(dir.file("real")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::remove(dir.file("hard"));
  write_file(dir.file("real"), kOld);
  edit(dir.file("real"));  // through a temporary file now
  EXPECT_EQ(read_file(dir.file("real")), kNew);
  EXPECT_EQ(fs::status(dir.file("real")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"link", "real"}));
}

#endif

// The save writes exactly the file that was loaded, unchanged: a link planted
// in its place, or a change another program made, stops it before it writes.
TEST(HostsFileTest, SaveRefusesAFileSwappedOrChangedSinceTheLoad) {
  const auto append_line = [](const ScratchDir& dir) {
    std::ofstream(dir.file("hosts"), std::ios::app | std::ios::binary) << "# added meanwhile\r\n";
  };
  struct Meddling {
    const char* name;
    std::string text;
    Call when;  // just before its first call
    std::function<void(const ScratchDir&)> act;
    std::string left;  // in the file the path names afterwards
  };
  const std::string kWritten = "127.0.0.1        OLD\r\n";
  const std::vector<Meddling> cases = {
#ifndef _WIN32
      {"swapped for a link", kOld, Call::kOpenForUpdate, [](const ScratchDir& dir) {
         fs::remove(dir.file("hosts"));
         fs::create_symlink(dir.file("secret"), dir.file("hosts"));
       }, "root only\n"},
#endif
      {"appended to", kOld, Call::kOpenForUpdate, append_line, kOld + "# added meanwhile\r\n"},
#ifndef _WIN32  // Windows holds the file open without sharing meanwhile
      // While an append's journal is made durable, before the append.
      {"appended to while journalling", kWritten, Call::kSyncDirectory, append_line,
       kWritten + "# added meanwhile\r\n"},
#endif
  };
  for (const Meddling& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    write_file(dir.file("hosts"), c.text);
    write_file(dir.file("secret"), "root only\n");
    fs::permissions(dir.file("secret"), fs::perms::owner_read | fs::perms::owner_write);
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
