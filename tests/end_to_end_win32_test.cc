// End-to-end cases for Windows: raw command lines as the system hands them to
// the program, paths of every kind, the lock between runs, the files a run
// leaves, attributes and links, and the console's events.
#include <windows.h>
#include <sddl.h>

#include "platform/win32/system.h"
#include "test_support.h"
#include "tool/run_flow.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using namespace testing;

const std::string kHosts = "127.0.0.1 localhost\r\n";
const std::string kAdded = "Entry added.\r\n";
const std::string kBlocked = kHosts + "127.0.0.1        A.COM\r\n";

// Runs with the working folder `dir` (the tool inherits it).
struct WorkingFolder {
  explicit WorkingFolder(const fs::path& dir) { fs::current_path(dir); }
  ~WorkingFolder() { fs::current_path(before); }
  const fs::path before = fs::current_path();
};

// Makes the file at `path` open to everybody and holds it, sharing nothing,
// until the object goes. (The access list is set once the file is made: where
// the system keeps permissions instead of descriptors, it sets them whole.)
struct HeldFile {
  explicit HeldFile(const std::string& path)
      : handle(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE | WRITE_DAC, 0, nullptr, CREATE_ALWAYS, 0, nullptr)) {
    PSECURITY_DESCRIPTOR everybody = nullptr;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;FA;;;WD)", SDDL_REVISION_1, &everybody, nullptr));
    EXPECT_TRUE(SetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION, everybody));
    LocalFree(everybody);
  }
  ~HeldFile() { CloseHandle(handle); }
  HANDLE handle;
};

// Raw command lines, split as the tool reads them, and paths that name no
// file (no folder, drive, server or share, no match of a wildcard, or a
// folder as the first): every run ends with status 0 and makes nothing beside
// the file. A file written anew (its LF lines) and replaced keeps hidden,
// system and the rest, where the system itself would drop them.
TEST(EndToEndWindowsTest, RawCommandLinesAreReadAndAttributesKept) {
  ScratchDir dir;
  fs::create_directory(dir.file("adir"));
  const WorkingFolder working(dir.path());
  const std::string hosts = dir.file("my hosts"), quoted = " \"" + hosts + "\"", entry = "127.0.0.1        ADS.EXAMPLE.COM\r\n";
  write_file(hosts, "127.0.0.1 localhost\n");
  const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
  ASSERT_TRUE(SetFileAttributesA(hosts.c_str(), kept));
  std::vector<std::tuple<std::string, std::string, std::string>> rows = {
      {"/B \"\" ads.example.com" + quoted, kAdded, kHosts + entry},
      {"/b\tADS.example.com " + quoted, "", kHosts + entry},
      {"/U a\"ds.exa\"mple.com" + quoted, "Entry removed\r\n", kHosts},
      // No escape character: the backslash stays and the quote closes.
      {"/U a.com \"" + dir.path() + "\\\"", "Cannot load " + dir.path() + "\\ hosts file\r\n", kHosts}};
  for (const std::string path : {"none", "relative\\none", "relative/none", "C:\\nodir\\hosts", "\\\\server\\share\\hosts",
                                 "\\\\?\\Z:\\nodir\\hosts", "\\\\?\\nowhere\\hosts", "nomatch*", "adi?"}) {
    rows.emplace_back("/B a.com " + path, "Cannot load " + path + " hosts file\r\n", kHosts);
  }
  for (const auto& [arguments, printed, file] : rows) {
    SCOPED_TRACE(arguments);
    expect_run(run_command_line('"' + tool() + "\" " + arguments), hosts, {printed, "", file, {"adir", "my hosts"}});
    EXPECT_EQ(GetFileAttributesA(hosts.c_str()) & kept, kept);
  }
}

// Paths past the ANSI calls' limit, reached through a short relative path,
// and a link into a folder whose name the ANSI code page cannot spell: the
// files beside them are named after the final path all the same.
TEST(EndToEndWindowsTest, LongAndUnspelledPathsAreEdited) {
  ScratchDir dir, other;
  const std::string deep = dir.file(std::string(240 - dir.path().size(), 'd'));
  fs::create_directories(deep + "\\" + std::string(50, 'e'));
  const std::string long_hosts = other.file(std::string(250 - other.path().size() - 1, 'h'));
  const fs::path unspelled = fs::path(native_path(TARNWICK_LINK_TEST_DIR)) / L"\u0416\u0436\u4e2d";
  struct Case { std::string working, typed; fs::path folder; };
  for (const Case& c : {Case{other.path(), long_hosts, other.path()},
                        Case{deep, std::string(50, 'e') + "\\hosts", deep + "\\" + std::string(50, 'e')},
                        Case{native_path(TARNWICK_LINK_TEST_DIR), "unspelled", unspelled}}) {
    SCOPED_TRACE(c.typed);
    const WorkingFolder working(c.working);
    write_file(c.typed, kHosts);
    for (const auto& [mode, text] : {std::pair{"/B", kBlocked}, {"/U", kHosts}, {"/B", kBlocked}}) {
      const RunResult result = run({tool(), mode, "a.com", c.typed});
      EXPECT_EQ(result.status, 0) << result.output;
      EXPECT_EQ(read_file(c.typed), text);
    }
    // The file alone: no companion is left. (Listed by the wide calls, which
    // reach past MAX_PATH; no name there but "." and ".." begins with a dot.)
    WIN32_FIND_DATAW found;
    const HANDLE listing = FindFirstFileW((L"\\\\?\\" + c.folder.wstring() + L"\\*").c_str(), &found);
    int names = 0;
    for (BOOL more = listing != INVALID_HANDLE_VALUE; more; more = FindNextFileW(listing, &found)) names += found.cFileName[0] != L'.';
    FindClose(listing);
    EXPECT_EQ(names, 1);
    fs::remove(c.typed);
  }
}

// Who may have made a companion, and who may change it, by its security
// descriptor: only the file's owner, the administrators, the system, the
// trusted installer and the running user are trusted, and nobody else may
// write it, delete it, or change its access or its owner.
TEST(EndToEndWindowsTest, CompanionsAreTrustedByOwnerAndAccessList) {
  const std::string owner = "S-1-5-21-1-2-3-1001", user = "S-1-5-21-1-2-3-1002", other = "S-1-5-21-1-2-3-1003";
  const std::string installer = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  const std::string usual = "(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";
  PSID owner_sid = nullptr, user_sid = nullptr;
  ASSERT_TRUE(ConvertStringSidToSidA(owner.c_str(), &owner_sid) && ConvertStringSidToSidA(user.c_str(), &user_sid));
  const auto trusted_journal = [&](PSECURITY_DESCRIPTOR descriptor) {
    platform::CompanionFacts facts = platform::descriptor_facts(descriptor, owner_sid, user_sid);
    facts.plain_file = true;
    return platform::trusted_companion(platform::Companion::kJournal, facts);
  };
  for (const auto& [sddl, trusted] : std::vector<std::pair<std::string, bool>>{
           {"O:" + owner + "D:P" + usual, true},
           {"O:" + user + "D:P" + usual + "(A;;FA;;;" + user + ")", true},
           {"O:BAD:P" + usual, true},
           {"O:SYD:P" + usual, true},
           {"O:" + installer + "D:P" + usual, true},
           {"O:" + other + "D:P" + usual, false},                              // made by another user
           {"O:" + owner + "D:P" + usual + "(A;;FA;;;WD)", false},              // everybody may write it
           {"O:" + owner + "D:P" + usual + "(A;;0x10000;;;" + other + ")", false},  // another may delete it
           {"O:" + owner + "D:P" + usual + "(A;;WD;;;BU)", false},              // users may change its access
           {"O:" + owner + "D:P" + usual + "(A;;WO;;;BU)", false},              // or its owner
           {"O:" + owner + "D:P" + usual + "(A;;FW;;;" + other + ")", false},
           {"O:" + owner + "D:P" + usual + "(A;OIIO;FA;;;WD)", true},           // only for what a folder's children inherit
           {"O:" + owner + "D:P" + usual + "(D;;FA;;;WD)", true},               // a refusal gives nothing
           {"O:" + owner + "D:P(A;;FR;;;WD)", true},
           {"O:" + owner, false}}) {                                            // no access list: open to all
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) << sddl;
    EXPECT_EQ(trusted_journal(descriptor), trusted) << sddl;
    LocalFree(descriptor);
  }
  // A null access list, the same (SDDL's NO_ACCESS_CONTROL gives an empty one under Wine).
  SECURITY_DESCRIPTOR null_list;
  InitializeSecurityDescriptor(&null_list, SECURITY_DESCRIPTOR_REVISION);
  ASSERT_TRUE(SetSecurityDescriptorOwner(&null_list, owner_sid, FALSE) && SetSecurityDescriptorDacl(&null_list, TRUE, nullptr, FALSE));
  EXPECT_FALSE(trusted_journal(&null_list));
  LocalFree(owner_sid), LocalFree(user_sid);
}

// Every state a killed run, or a power cut, can leave beside the file, and
// what others put there: the next run keeps the file's text, adds its line,
// and leaves nothing else beside it.
TEST(EndToEndWindowsTest, WhatRunsLeftIsClearedByTheNext) {
  const std::string cleared_journal(200, '\0');  // a journal whose end was cut short of its removal
  struct Case { const char* name; std::vector<std::string> files, folders; bool lock_open_to_everybody; };
  for (const Case& c : std::vector<Case>{
           {"temporaries", {"hosts.tarnwick-new", "hosts.tarnwick-new-1", "hosts.tarnwick-new-4242"}, {}, false},
           {"cleared journal", {"hosts.tarnwick-journal"}, {}, false},
           {"lock file a power cut kept", {"hosts.tarnwick-lock"}, {}, false},
           {"lock file open to everybody", {}, {}, true},
           {"folders at the names", {}, {"hosts.tarnwick-journal", "hosts.tarnwick-lock"}, false}}) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string hosts = dir.file("hosts");
    write_file(hosts, kHosts);
    for (const std::string& name : c.files) write_file(dir.file(name), name.ends_with("journal") ? cleared_journal : kHosts);
    for (const std::string& name : c.folders) fs::create_directory(dir.file(name));
    if (c.lock_open_to_everybody) HeldFile{dir.file("hosts.tarnwick-lock")};
    expect_run(run({tool(), "/B", "a.com", hosts}), hosts, {kAdded, "", kBlocked, {"hosts"}});
  }
}

// Another program holding the file open for writing keeps the load out. A
// lock file that no trusted run made, held where the run may not remove it,
// delays a run 10 seconds at most; then it ends as when the file is held
// open, and touches nothing.
TEST(EndToEndWindowsTest, FileHeldElsewhereIsReportedAndKept) {
  for (const bool planted : {false, true}) {
    ScratchDir dir;
    const std::string hosts = dir.file("hosts");
    write_file(hosts, kHosts);
    std::ofstream writer;
    std::optional<HeldFile> lock;
    if (planted) lock.emplace(hosts + ".tarnwick-lock");
    else writer.open(hosts, std::ios::binary | std::ios::app);
    const auto started = std::chrono::steady_clock::now();
    const RunResult result = run({tool(), "/B", "a.com", hosts});
    const auto waited = std::chrono::steady_clock::now() - started;
    expect_run(result, hosts, {"", "EFOpenError Cannot open file " + hosts, kHosts,
                               planted ? Args{"hosts", "hosts.tarnwick-lock"} : Args{"hosts"}});
    EXPECT_TRUE(!planted || (waited >= std::chrono::seconds(9) && waited < std::chrono::seconds(20)));
  }
}

// Overlapping runs take turns, however long each holds the file: sixteen
// unblocks at once on a file of 250 MB all end with status 0, each line gone.
// Runs through two names of one file take turns too: they meet on the file
// itself.
TEST(EndToEndWindowsTest, OverlappingRunsTakeTurns) {
  ScratchDir dir;
  const std::string hosts = dir.file("hosts"), line = "0.0.0.0 " + std::string(90, 't') + ".example.net\r\n";
  const auto name = [](int i) { return "NAME" + std::to_string(i) + ".EXAMPLE"; };
  // Runs `mode` on names 0 to `runs` - 1 at once, through `paths` in turn.
  const auto overlap = [&](const char* mode, int runs, const Args& paths) {
    std::vector<int> pids;
    for (int i = 0; i < runs; ++i) pids.push_back(start({tool(), mode, name(i), paths[i % paths.size()]}));
    for (const int pid : pids) EXPECT_EQ(finish(pid), 0);
  };
  std::string text;
  text.reserve(251u << 20);  // grown by doubling, it would split a 32-bit address space too finely to read it back
  while (text.size() < (250u << 20)) text += line;
  std::string blocked = text;
  for (int i = 0; i < 16; ++i) blocked += entry(name(i));
  write_file(hosts, blocked);
  overlap("/U", 16, {hosts});
  EXPECT_TRUE(read_file(hosts) == text);
  EXPECT_EQ(dir.entries(), Args{"hosts"});
  write_file(hosts, kHosts);
  fs::create_hard_link(hosts, dir.file("other"));
  overlap("/B", 24, {hosts, dir.file("other")});
  const std::string now = read_file(hosts);
  for (int i = 0; i < 24; ++i) EXPECT_NE(now.find(entry(name(i))), std::string::npos) << i;
  EXPECT_EQ(dir.entries(), (Args{"hosts", "other"}));
}

// Any reader may lock the byte runs lock a file by, and a reader's hold
// cannot be told from a run's; but a run's changes the file as it goes. A
// run through another name waits for a hold as long as the file changes at
// least every 10 seconds, then takes its turn; a hold that changes nothing
// for 10 seconds ends it as a file held elsewhere does.
TEST(EndToEndWindowsTest, TheFilesOwnLockIsWaitedForWhileTheFileChanges) {
  ScratchDir dir;
  const std::string hosts = dir.file("hosts");
  write_file(hosts, kHosts);
  fs::create_hard_link(hosts, dir.file("other"));  // a file with two names: runs lock it
  for (const bool writing : {true, false}) {
    SCOPED_TRACE(writing ? "the holder writes" : "the holder only holds");
    const HANDLE holder = CreateFileA(hosts.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    OVERLAPPED far_byte{};
    far_byte.Offset = platform::kLockByteLow;
    far_byte.OffsetHigh = platform::kLockByteHigh;
    ASSERT_TRUE(LockFileEx(holder, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &far_byte));
    const auto started = std::chrono::steady_clock::now();
    const int waiting = start({tool(), "/B", "a.com", dir.file("other")});
    for (int i = 0; writing && i < 7; ++i) {
      Sleep(2000);
      DWORD done = 0;
      SetFilePointer(holder, 0, nullptr, FILE_END);
      EXPECT_TRUE(WriteFile(holder, "# written\r\n", 11, &done, nullptr));
    }
    if (writing) {
      EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(waiting)), 0),
                static_cast<DWORD>(WAIT_TIMEOUT)) << "the run gave up on a holder that writes";
      UnlockFileEx(holder, 0, 1, 0, &far_byte);
      CloseHandle(holder);
    }
    const int status = finish(waiting);
    const auto waited = std::chrono::steady_clock::now() - started;
    if (!writing) UnlockFileEx(holder, 0, 1, 0, &far_byte), CloseHandle(holder);
    EXPECT_EQ(status, writing ? 0 : 1);
    EXPECT_TRUE(writing ? waited >= std::chrono::seconds(14) : waited >= std::chrono::seconds(9) && waited < std::chrono::seconds(20));
  }
  std::string written = kHosts;
  for (int i = 0; i < 7; ++i) written += "# written\r\n";
  EXPECT_EQ(read_file(hosts), written + kBlocked.substr(kHosts.size()));
  EXPECT_EQ(dir.entries(), (Args{"hosts", "other"}));
}

// Ctrl-C and Ctrl-Break, the console window closed, logoff and shutdown wait
// for a save in progress, then remove the run's files and leave the event to
// the system, which ends the process; and once the handler has found no save
// in progress, none begins. The tool loads no user32.dll, or as a console
// program it would get no logoff and shutdown events at all.
TEST(EndToEndWindowsTest, ConsoleEventsWaitForTheSave) {
  EXPECT_FALSE(std::regex_search(read_file(tool()), std::regex("user32\\.dll", std::regex::icase)));
  for (const DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
    EXPECT_EXIT(
        {
          ScratchDir dir;
          const std::string temporary = dir.file("hosts.tarnwick-new-1");
          write_file(dir.file("hosts"), "");
          write_file(temporary, "");
          platform::Site site;
          platform::locate(dir.file("hosts").c_str(), site);
          platform::hold_interrupts();
          platform::publish_run_file(platform::Companion::kTemporary, site, 1);
          BOOL handled = TRUE;
          std::thread handler([&] { handled = platform::on_console_event(event); });
          Sleep(300);
          const bool waited = fs::exists(temporary);
          platform::release_interrupts();
          handler.join();
          const bool removed = !fs::exists(temporary);
          bool began = false;
          std::thread save([&] { platform::hold_interrupts(), began = true; });
          Sleep(300);
          std::_Exit(waited && !handled && removed && !began ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "")
        << event;
  }
}

// A user who may write the file but not its folder makes no file beside
// it: no lock file, no journal and no temporary file (here the calls that
// would make them are refused, as the system refuses such a user). The file
// is edited all the same, in place, locked itself, and saved while that
// lock's handle is open.
TEST(EndToEndWindowsTest, UserWhoMayNotWriteTheFolderEditsTheFile) {
  ScratchDir dir;
  const std::string hosts = dir.file("hosts");
  write_file(hosts, "127.0.0.1 localhost\n");
  for (const auto& [mode, printed, text] : {std::tuple{"/B", kAdded, kBlocked}, {"/U", "Entry removed\r\n", kHosts}}) {
    FakeSystem fake;
    for (const platform::Call call : {platform::Call::kLockCompanion, platform::Call::kOpenCompanion,
                                      platform::Call::kCreateTemporary}) {
      for (int n = 1; n <= 4; ++n) fake.fail_on(call, n, platform::kErrorAccessDenied);
    }
    EXPECT_EQ(failure_of([&] { run("tarnwick " + std::string(mode) + " a.com " + hosts); }), "no failure") << mode;
    close_channel();
    EXPECT_EQ(fake.output, banner() + printed) << mode;
    EXPECT_EQ(read_file(hosts), text) << mode;
  }
  EXPECT_EQ(dir.entries(), Args{"hosts"});
}

// Through a symbolic link (under Wine a Unix one, made by the build beside
// "real") the file it leads to is replaced, the link staying; and runs
// through the link and through the file's own path take turns: they share
// the lock file, named after the final path. Links planted at the
// companions' names (under Wine, Unix links, which the system follows even
// where asked not to) are never taken for a run's file: what they lead to
// is not touched, and the file holds its text or the new one. (Windows
// removes such a link itself; where the system would follow it, the run
// cannot, and waits 10 seconds at most.)
TEST(EndToEndWindowsTest, LinksAreKeptAndLinksAtCompanionNamesLeftAlone) {
  const fs::path place = native_path(TARNWICK_LINK_TEST_DIR);
  if (!fs::exists(place / "link") || !fs::exists(place / "planted/lock-victim")) GTEST_SKIP() << "no links made by the build";
  const std::string link = (place / "link").string(), real = (place / "real").string(), planted = (place / "planted/hosts").string();
  write_file(real, "127.0.0.1 localhost\n");  // LF: written anew and renamed over
  write_file(planted, kHosts);
  run({tool(), "/B", "a.com", link});
  run({tool(), "/B", "a.com", planted});
  EXPECT_EQ(read_file(real), kBlocked);  // a link replaced by a file of its own would leave it as it was
  EXPECT_TRUE(read_file(planted) == kHosts || read_file(planted) == kBlocked);
  for (const char* victim : {"lock-victim", "journal-victim"}) EXPECT_EQ(read_file((place / "planted" / victim).string()), "precious\n") << victim;
  platform::Site site;
  ASSERT_TRUE(platform::locate(link.c_str(), site));
  const platform::Handle lock = platform::lock_companion(site);
  ASSERT_GE(lock, 0);
  const int waiting = start({tool(), "/U", "a.com", real});
  Sleep(1500);
  EXPECT_EQ(read_file(real), kBlocked);
  platform::unlock_companion(site, lock);
  EXPECT_EQ(finish(waiting), 0);
  EXPECT_EQ(read_file(real), kHosts);
}

}  // namespace
}  // namespace tarnwick
