#include "support/hosts_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
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
  fs::create_directory(dir.file("sub"));
  const std::vector<std::pair<std::string, bool>> cases = {
      {dir.file("hosts"), true},   {dir.file("missing"), false}, {dir.file("sub"), false},
      {dir.file("old"), false},    {dir.file("h*"), true},        {dir.file("ho?ts"), true},
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
  EXPECT_EQ(failure_of([&] { load_lines(wildcard, list); }), "EFOpenError: Cannot open file " + wildcard);
  EXPECT_EQ(failure_of([&] { load_lines(dir.file("utf16"), list); }),
            "EReadError: Cannot read file " + dir.file("utf16") + ": it holds a NUL byte");
  {
    FakeSystem fake;  // no mapping, and the read fails
    fake.fail_on(Call::kMapFile, 1, platform::kErrorNotEnoughMemory);
    fake.fail_on(Call::kRead, 1, platform::kErrorIoDevice);
    EXPECT_EQ(failure_of([&] { load_lines(dir.file("hosts"), list); }), "EReadError: Stream read error");
  }
  EXPECT_EQ(lines_of(list), std::vector<std::string>{"kept"});
  for (const bool mapped : {true, false}) {
    FakeSystem fake;
    if (!mapped) fake.fail_on(Call::kMapFile, 1, platform::kErrorNotEnoughMemory);
    load_lines(dir.file("hosts"), list);
    EXPECT_EQ(lines_of(list), std::vector<std::string>{"a"});
  }
}

// Loaded from a file of its own, as the tool loads its lines.
LineList two_lines() {
  ScratchDir dir;
  write_file(dir.file("source"), "127.0.0.1        NEW\n# end");
  LineList list;
  load_lines(dir.file("source"), list);
  return list;
}
const std::string kOld = "old content\n";
const std::string kNew = "127.0.0.1        NEW\r\n# end\r\n";

struct SaveFault {
  const char* name;
  std::vector<Call> failing;   // each fails on its first call
  std::string result;          // "new", or the failure
};

// Whatever fails, the file holds the old or the new text and no temporary file
// is left beside it.
TEST(HostsFileTest, SaveKeepsTheOldContentOnEveryFailure) {
  const std::vector<SaveFault> cases = {
      {"no fault", {}, "new"},
      {"temporary refused", {Call::kCreateTemporary}, "new"},
      {"identity not kept", {Call::kAdoptIdentity}, "new"},
      {"rename refused", {Call::kReplace}, "new"},
      {"temporary write fails", {Call::kWrite}, "EWriteError: Stream write error"},
      {"temporary sync fails", {Call::kSync}, "EWriteError: Stream write error"},
      {"in-place write fails", {Call::kReplace, Call::kWriteAt}, "EWriteError: Stream write error"},
      {"in-place truncate fails", {Call::kReplace, Call::kTruncate}, "EWriteError: Stream write error"},
#ifndef _WIN32  // Windows reads the file instead of mapping it
      {"text cannot be detached", {Call::kReplace, Call::kDetachMapping}, "EWriteError: Stream write error"},
#endif
      {"open refused", {Call::kOpenForUpdate}, "EFCreateError: Cannot create file "},
  };
  for (const SaveFault& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string path = dir.file("hosts");
    write_file(path, kOld);
    FakeSystem fake;
    for (Call call : c.failing) fake.fail_on(call, 1, platform::kErrorDiskFull);
    const std::string failure = failure_of([&] { save_lines(two_lines(), path); });
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

#ifndef _WIN32  // POSIX permissions and symbolic links
TEST(HostsFileTest, SaveKeepsLinksAndPermissions) {
  ScratchDir dir;
  write_file(dir.file("real"), kOld);
  fs::permissions(dir.file("real"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink("real", dir.file("link"));
  fs::create_hard_link(dir.file("real"), dir.file("hard"));
  save_lines(two_lines(), dir.file("link"));
  EXPECT_TRUE(fs::is_symlink(dir.file("link")));
  EXPECT_EQ(read_file(dir.file("real")), kNew);
  EXPECT_EQ(read_file(dir.file("hard")), kNew);  // rewritten in place, still one file
  EXPECT_EQ(fs::status(dir.file("real")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::remove(dir.file("hard"));
  save_lines(LineList(), dir.file("real"));  // through a temporary file now
  EXPECT_EQ(read_file(dir.file("real")), "");
  EXPECT_EQ(fs::status(dir.file("real")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

#endif


}  // namespace
}  // namespace tarnwick
