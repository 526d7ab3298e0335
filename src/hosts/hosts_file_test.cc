#include "hosts/hosts_file.h"

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#else
#include <sys/xattr.h>
#endif

#include "test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using platform::Call;
using namespace testing;

#ifdef _WIN32
// Gives everybody every right on the file.
void open_to_everyone(const std::string& path) {
  PSECURITY_DESCRIPTOR everyone = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  PACL acl = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;FA;;;WD)", SDDL_REVISION_1, &everyone, nullptr));
  ASSERT_TRUE(GetSecurityDescriptorDacl(everyone, &present, &acl, &defaulted));
  EXPECT_EQ(SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, acl, nullptr), ERROR_SUCCESS);
  LocalFree(everyone);
}

// Writes `text` over the file and puts its last write's time back.
void rewrite_keeping_time(const std::string& path, const std::string& text) {
  FILETIME written;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD done = 0;
  ASSERT_TRUE(GetFileTime(file, nullptr, nullptr, &written));
  ASSERT_TRUE(WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &done, nullptr));
  ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
  CloseHandle(file);
}
#else
void open_to_everyone(const std::string& path) { fs::permissions(path, fs::perms::owner_all | fs::perms::others_write); }
#endif

// Existing files only, dated within what a DOS date holds; of a wildcard
// only the first match counts ("." comes first, and is a directory).
TEST(HostsFileTest, ExistenceTest) {
  ScratchDir dir;
  write_file(dir.file("hosts"), "x");
  for (const int year : {1979, 1980, 2107, 2108}) {  // the last write's year must fit a DOS date
    write_file(dir.file(std::to_string(year)), "x");
    const long long midyear = (year - 1970) * 31556952LL + 15778476;  // seconds since 1970
#ifdef _WIN32  // the 32-bit runtime's own call wraps after 2038
    const HANDLE file = CreateFileA(dir.file(std::to_string(year)).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    const unsigned long long ticks = (midyear + 11644473600LL) * 10000000ULL;  // 100 ns since 1601
    const FILETIME written{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
    CloseHandle(file);
#else
    fs::last_write_time(dir.file(std::to_string(year)),
                        fs::file_time_type::clock::from_sys(std::chrono::sys_seconds{std::chrono::seconds{midyear}}));
#endif
  }
  fs::create_directory(dir.file("sub"));
  for (const auto& [name, exists] : std::vector<std::pair<std::string, bool>>{
           {"hosts", true}, {"missing", false}, {"sub", false}, {"1979", false}, {"1980", true}, {"2107", true},
           {"2108", false}, {"h*", true},
           {"ho?ts", true}, {"s*", false}, {"*", false}, {"z*", false}}) {
    EXPECT_EQ(is_existing_file(dir.file(name)), exists) << name;
  }
}

const std::string kOld = "127.0.0.1        OLD\n# end";
const std::string kNew = "# end\r\n127.0.0.1        NEW\r\n";
const std::string kLong = "127.0.0.1        " + std::string(600, 'O') + "\n# end";  // rewritten shorter
const std::string kWritten = "127.0.0.1        OLD\r\n# end\r\n";  // appended to, not rewritten
// Its journal too large for the file's mark: kept beside the file.
const std::string kBig = "127.0.0.1        OLD\n# " + std::string(3000, 'b') + "\n# end";
const std::string kBigNew = "# " + std::string(3000, 'b') + "\r\n# end\r\n127.0.0.1        NEW\r\n";
const std::string kWriteError = "EWriteError: Stream write error";
// Each call fails on that occurrence, with that error.
struct Fail {
  Call call;
  int occurrence;
  platform::ErrorCode error = platform::kErrorDiskFull;
};
using Failing = std::vector<Fail>;
// Neither the new text is written whole nor the old one put back: the journal stays.
const Failing kLeaveJournal = {{Call::kReplace, 1}, {Call::kTruncate, 1}, {Call::kTruncate, 2}};
// The append's journal is in the file's mark, where files keep one, and its
// write is the first; beside the file, its header and parts take four first.
const Failing kLeaveAppendJournal = {{Call::kWriteAt, keeps_marks() ? 1 : 5}, {Call::kTruncate, 1}};

// Loads the file, drops its first line unless its text is kWritten, appends
// a line and saves, with the `failing` calls failing and `meddle` run just
// before the first call `during`; gives the kind and text of the failure.
std::string edit(const std::string& path, const Failing& failing = {}, std::optional<Call> during = {},
                 const std::function<void()>& meddle = {}, int occurrence = 1) {
  FakeSystem fake;
  for (const auto& [call, nth, error] : failing) fake.fail_on(call, nth, error);
  if (during) fake.fail_on(*during, occurrence, 0, meddle);
  return failure_of([&] {
    HostsFile file(path);
    LineList list;
    file.load(list);
    if (list.loaded_text() != kWritten) list.remove(0);
    list.append("127.0.0.1        NEW");
    file.save(list);
  });
}

// A save that finds the file changed or swapped since the load leaves the old
// text or the new one, and a route that is refused gives way to the next (a
// save that fails part way is FaultInjectionTest's). A journal that stays is played back by the next run, but only
// over a file as the dead run could have left it, and only one a run could
// have made. Nothing left or planted keeps a later save from its own journal.
TEST(HostsFileTest, SaveLeavesTheOldOrTheNewText) {
  const std::string kCreateError = "EFCreateError: Cannot create file ";
  ScratchDir elsewhere;
  write_file(elsewhere.file("secret"), "root only\n");
  const auto append_line = [](auto& path, auto&) {
    std::ofstream(path, std::ios::app | std::ios::binary) << "# added meanwhile\r\n";
  };
  const auto file_is = [](const std::string& text) { return [=](auto& path, auto&) { write_file(path, text); }; };
  // The meddling comes just before the call `during`, or after the save; `left`
  // is the file's text once the next run has begun, "" for as the meddling left
  // it, which leaves the journal set aside.
  struct Case {
    const char* name;
    std::string text;
    Failing failing;
    std::optional<Call> during;
    std::function<void(const std::string& path, const std::string& journal)> meddle;
    std::string failure, left;
    bool second_name = false;  // a hard link beside it: the journal is marked on the file
  };
  const platform::ErrorCode kRefused = platform::kErrorAccessDenied;  // as where the directory may not be written
  std::vector<Case> cases = {
      {"no fault", kOld, {}, {}, nullptr, "no failure", kNew},
      {"temporary refused", kOld, {{Call::kCreateTemporary, 1, kRefused}}, {}, nullptr, "no failure", kNew},
      {"no room for a temporary", kOld, {{Call::kCreateTemporary, 1}}, {}, nullptr, kCreateError, kOld},
      {"metadata not kept", kOld, {{Call::kCopyMetadata, 1, kRefused}}, {}, nullptr, "no failure", kNew},
      {"rename refused", kOld, {{Call::kReplace, 1}}, {}, nullptr, "no failure", kNew},
      {"in place, no journal", kBig, {{Call::kReplace, 1}, {Call::kOpenCompanion, 2, kRefused}}, {}, nullptr, "no failure",
       kBigNew},
      {"in place, no room for a journal", kBig, {{Call::kReplace, 1}, {Call::kOpenCompanion, 2}}, {}, nullptr, kCreateError,
       kBig},
      {"in place, no room for its mark", kBig, {{Call::kReplace, 1}, {Call::kSetMark, 1}}, {}, nullptr, kCreateError, kBig},
      {"in place, no marks kept", kBig, {{Call::kReplace, 1}, {Call::kSetMark, 1, platform::kErrorNotSupported}}, {},
       nullptr, "no failure", kBigNew},
      {"appended to meanwhile", kOld, {}, Call::kOpenForUpdate, append_line, kCreateError, kOld + "# added meanwhile\r\n"},
      {"append journal", kWritten, kLeaveAppendJournal, {}, file_is(kWritten + "127.0"), kWriteError, kWritten},
      {"file cut shorter", kWritten, kLeaveAppendJournal, {}, file_is("127.0.0.1        OLD\r\n"), kWriteError, ""},
      {"file grown past", kWritten, kLeaveAppendJournal, {}, file_is(kWritten + std::string(200, '#')), kWriteError, ""},
      {"journal's text changed", kBig, kLeaveJournal, {},
       [](auto&, auto& journal) { std::fstream(journal, std::ios::in | std::ios::out).seekp(-1, std::ios::end) << '#'; },
       kWriteError, ""},
      {"journal open to changes", kBig, kLeaveJournal, {}, [](auto&, auto& journal) { open_to_everyone(journal); },
       kWriteError, ""},
      // Cutting a file zeroes the rest of its last block at once; a power cut
      // may keep that without the new length.
      {"cut short, the cut's zeros kept", kLong, kLeaveJournal, {}, file_is(kNew + std::string(kLong.size() - kNew.size(), '\0')),
       kWriteError, kLong},
      {"journal a directory", kBig, kLeaveJournal, {},
       [](auto&, auto& journal) { fs::remove(journal), fs::create_directory(journal); }, kWriteError, ""},
#ifdef _WIN32  // the file is held from the save's open on
      // Rewritten to the same length, its last write's time put back: the
      // change time tells.
      {"rewritten, its time put back", kOld, {}, Call::kOpenForUpdate,
       [](auto& path, auto&) { rewrite_keeping_time(path, "127.0.0.1        NEW"); }, kCreateError,
       "127.0.0.1        NEW\n# end"},
#else  // POSIX links, permissions and owners; Windows holds the file meanwhile
      {"swapped for a link", kOld, {}, Call::kOpenForUpdate,
       [&](auto& path, auto&) { fs::remove(path), fs::create_symlink(elsewhere.file("secret"), path); }, kCreateError,
       "root only\n"},
      {"swapped while written anew", kOld, {}, Call::kSync,
       [](auto& path, auto&) { write_file(path + ".x", "swapped in\n"), fs::rename(path + ".x", path); }, kCreateError,
       "swapped in\n"},
      {"appended to while journalling", kWritten, {}, Call::kSetMark, append_line, kCreateError,
       kWritten + "# added meanwhile\r\n", true},
      {"written while journalling in place", kBig, {{Call::kReplace, 1}}, Call::kSetMark, append_line, kCreateError,
       kBig + "# added meanwhile\r\n"},
      {"journal its group may change", kBig, kLeaveJournal, {},  // as the file's group may
       [](auto& path, auto& journal) { fs::permissions(path, fs::perms(0664)), fs::permissions(journal, fs::perms(0664)); },
       kWriteError, ""},
      {"journal a link", kBig, kLeaveJournal, {},
       [](auto&, auto& journal) { fs::remove(journal), fs::create_symlink("hosts", journal); }, kWriteError, ""},
#endif
  };
#ifndef _WIN32
  if (geteuid() == 0) {  // the mark vouches for the journal it names, but only the mark
    const auto give_away = [](auto&, auto& journal) { EXPECT_EQ(lchown(journal.c_str(), 65534, 65534), 0); };
    cases.push_back({"another user's journal, marked", kBig, kLeaveJournal, {}, give_away, kWriteError, kBig});
    cases.push_back({"another user's journal", kBig, kLeaveJournal, {},
                     [&](auto& path, auto& journal) {
                       give_away(path, journal);
                       EXPECT_EQ(removexattr(path.c_str(), "user.tarnwick.mark"), 0);
                     },
                     kWriteError, ""});
  }
#endif
  const bool marks_kept = keeps_marks();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string path = dir.file("hosts"), journal = path + ".tarnwick-journal";
    write_file(path, c.text);
    if (c.second_name) fs::create_hard_link(path, dir.file("link"));
    const std::string failure = edit(path, c.failing, c.during, [&] { c.meddle(path, journal); });
    EXPECT_EQ(failure.substr(0, c.failure.size()), c.failure);
#ifndef _WIN32  // it holds the file's text: readable as the file is, and its owner's alone to change
    EXPECT_TRUE(!fs::exists(journal) || fs::status(journal).permissions() == fs::status(path).permissions());
#endif
    if (c.meddle && !c.during) c.meddle(path, journal);
    const std::string left = read_file(path);
    const bool journal_left = fs::exists(fs::symlink_status(journal));
    // One that no trusted run made is never played back, and the next run
    // does not build on the file it shows half written; nor where the mark
    // shows it half written and its journal is not to be had.
    std::set<std::string> refused = {"journal open to changes", "journal its group may change", "another user's journal"};
    if (marks_kept) refused.insert({"journal's text changed", "journal a directory", "journal a link"});
    EXPECT_EQ(failure_of([&] { HostsFile{path}; }),
              refused.count(c.name) ? "EFOpenError: Cannot open file " + path : "no failure");
    // Nor is it removed: it may be anybody's file.
    if (refused.count(c.name)) {
      EXPECT_EQ(fs::exists(fs::symlink_status(journal)), journal_left);
    }
    EXPECT_EQ(read_file(path), c.left.empty() ? left : c.left);
    fs::remove(dir.file("link"));
    fs::remove(path);
    write_file(path, kBig);
    EXPECT_EQ(edit(path, kLeaveJournal), kWriteError);
    HostsFile{path};
    EXPECT_EQ(read_file(path), kBig);
    // A journal that does not fit the file, or that no run trusted with it
    // made, may hold someone's old text: it is set aside, never deleted.
    std::set<std::string> aside = {"journal open to changes", "journal its group may change", "another user's journal"};
    if (!marks_kept) aside.insert({"file cut shorter", "file grown past"});  // an append's journal beside the file
    using Names = std::vector<std::string>;
    EXPECT_EQ(dir.entries(), (aside.count(c.name) ? Names{"hosts", "hosts.tarnwick-journal.1"} : Names{"hosts"}));
  }
  // The next run stops before it reads the file where the lock file is held
  // elsewhere for long, or a journal left behind cannot be read whole; the
  // journal stays for a later run.
  ScratchDir held;
  const std::string path = held.file("hosts");
  write_file(path, kBig);
  EXPECT_EQ(edit(path, kLeaveJournal), kWriteError);
  for (const auto& [call, code] : {std::pair{Call::kLockCompanion, platform::kErrorSharingViolation},
                                   std::pair{Call::kRead, platform::kErrorIoDevice}}) {
    FakeSystem fake;
    fake.fail_on(call, call == Call::kRead ? 2 : 1, code);  // the journal's head is read first
    EXPECT_EQ(failure_of([&] { HostsFile{path}; }), "EFOpenError: Cannot open file " + path);
  }
  HostsFile{path};
  EXPECT_EQ(read_file(path), kBig);
#ifndef _WIN32  // a name too long for any file beside it is no obstacle either
  ScratchDir dir;
  write_file(dir.file(std::string(250, 'h')), kOld);
  EXPECT_EQ(edit(dir.file(std::string(250, 'h'))), "no failure");
  EXPECT_EQ(read_file(dir.file(std::string(250, 'h'))), kNew);
#endif
}

// An interrupt or a fault at each step of making a run's file known to the
// signal handlers, or of taking it back, removes none but the run's own lock
// file and temporary: not the hosts file, whose name begins theirs, nor
// files of like names. The next run removes what runs left, temporaries
// named after their process included, where a trusted user made them.
TEST(HostsFileTest, HandlersSeeOnlyWholeNames) {
  const std::vector<std::string> kept = {"hosts.v2.tarnwick-loc", "hosts.v2.tarnwick-new-", "hosts.v2.tarnwick-new-7a"};
  for (const std::string& text : {kOld, kWritten, kOld + "\n"}) {  // renamed, appended, written in place
    for (const Call step : {Call::kPublish, Call::kWithdraw}) {
      // Every run publishes and withdraws a file of its own: the lock file
      // (Windows: which goes with its holder, unpublished), or a temporary.
      int interrupted = 0;
      for (int n = 1; n <= 3; ++n) {
        SCOPED_TRACE(::testing::Message() << ::testing::PrintToString(text) << (step == Call::kPublish ? " publish " : " withdraw ") << n);
        ScratchDir dir;
        const std::string path = dir.file("hosts.v2");
        write_file(path, text);
        if (text.ends_with("\n")) fs::create_hard_link(path, dir.file("link"));
        for (const std::string& name : kept) write_file(dir.file(name), "");
        const std::uint64_t before = stamp_of(path).file;
        edit(path, {}, step, [&] { platform::remove_run_files(), ++interrupted; }, n);
        const std::string now = read_file(path);
        EXPECT_TRUE(now == text || now == (text == kWritten ? kWritten + "127.0.0.1        NEW\r\n" : kNew));
        EXPECT_EQ(stamp_of(path).file == before, text != kOld);  // each took its own route
        write_file(dir.file("hosts.v2.tarnwick-new-123"), "");
        HostsFile{path};
        Args expected = Args{"hosts.v2"} + kept;  // sorted
        if (text.ends_with("\n")) expected.push_back("link");
        EXPECT_EQ(dir.entries(), expected);
      }
#ifdef _WIN32
      if (text != kOld) continue;
#endif
      EXPECT_GE(interrupted, 1);
    }
  }
#ifndef _WIN32  // a temporary another user made is theirs to remove
  if (geteuid() != 0) return;
  ScratchDir dir;
  write_file(dir.file("hosts"), kOld);
  write_file(dir.file("hosts.tarnwick-new-42"), "");
  ASSERT_EQ(lchown(dir.file("hosts.tarnwick-new-42").c_str(), 65534, 65534), 0);
  HostsFile{dir.file("hosts")};
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"hosts", "hosts.tarnwick-new-42"}));
#endif
}

}  // namespace
}  // namespace tarnwick
