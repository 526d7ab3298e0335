// How runs keep each other's edits on POSIX: many runs at once, runs of users
// who lock differently, files in overlays and in closed directories, file
// capabilities, journals left by a run that died, and copies that share a
// file's blocks.
#ifndef _WIN32
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <memory>

#include "test_support.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using namespace testing;

const std::string kHosts = "127.0.0.1 localhost\n";
const std::string kWritten = "127.0.0.1 localhost\r\n";
const std::string kBlocked = kWritten + entry("A.COM");
const std::string kAdded = "Entry added.\r\n";
const std::string kJournal = "hosts.tarnwick-journal";

// closed/hosts in `dir`: root's, open to everybody, in a directory of root's
// of `mode`.
std::string closed_hosts(const ScratchDir& dir, fs::perms mode, const std::string& text) {
  const std::string hosts = dir.file("closed/hosts");
  fs::create_directory(dir.file("closed"));
  write_file(hosts, text);
  fs::permissions(hosts, fs::perms(0666));
  fs::permissions(dir.file("closed"), mode);
  return hosts;
}

// Starts `count` blocks of different names on `hosts` at once, every second
// one as nobody where `mixed`, and gives how many ended with each status.
// Every entry must be in the file once, after what it held before.
std::map<int, int> block_at_once(const std::string& hosts, int count, bool mixed) {
  const std::string before = read_file(hosts);
  const auto line = [](int i) { return entry("RUN" + std::to_string(i) + ".EXAMPLE.COM"); };
  std::vector<int> pids;
  for (int i = 0; i < count; ++i) {
    const Args argv = {tool(), "/B", "run" + std::to_string(i) + ".example.com", hosts};
    pids.push_back(start(mixed && i % 2 == 1 ? kAsNobody + argv : argv));
  }
  std::map<int, int> statuses;
  for (const int pid : pids) ++statuses[finish(pid)];
  const std::string now = read_file(hosts);
  std::size_t missing = 0, size = before.size();
  for (int i = 0; i < count; ++i) missing += now.find(line(i)) == now.npos, size += line(i).size();
  EXPECT_EQ(missing, 0u);
  EXPECT_TRUE(now.starts_with(before) && now.size() == size) << now.size() << " bytes, not " << size;
  return statuses;
}

// A reader's lock on the file, whether flock(2)'s or a read lock: on a file
// only its owner may write, with one name, it holds nobody up; where others
// may write it, a read lock, which a run cannot tell from one of a run of
// theirs, holds a run up ten seconds at most, and the run then ends as for a
// file held elsewhere; a flock(2), which runs never take, holds nobody up.
TEST(SaveProtocolTest, ReadersLocksHoldARunUpTenSecondsAtMost) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a file others may write";
  struct Case { const char* name; bool others_may_write, read_lock, refused; };
  for (const Case& c : {Case{"flock, owner's file", false, false, false}, Case{"flock, others may write", true, false, false},
                        Case{"read lock, owner's file", false, true, false}, Case{"read lock, others may write", true, true, true}}) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string hosts = dir.file("hosts");
    write_file(hosts, kWritten);
    fs::permissions(hosts, fs::perms(c.others_may_write ? 0666 : 0644));
    const int reader = open(hosts.c_str(), O_RDONLY);
    struct flock whole {};
    whole.l_type = F_RDLCK;
    whole.l_whence = SEEK_SET;
    ASSERT_EQ(c.read_lock ? fcntl(reader, F_OFD_SETLK, &whole) : flock(reader, LOCK_EX), 0);
    const auto started = std::chrono::steady_clock::now();
    const RunResult result = run({tool(), "/B", "a.com", hosts});
    const auto waited = std::chrono::steady_clock::now() - started;
    close(reader);
    expect_run(result, hosts, c.refused ? Outcome{"", "EFOpenError Cannot open file " + hosts, kWritten, {"hosts"}}
                                        : Outcome{kAdded, "", kBlocked, {"hosts"}});
    EXPECT_TRUE(c.refused ? waited >= std::chrono::seconds(9) && waited < std::chrono::seconds(15)
                          : waited < std::chrono::seconds(2));
  }
}

// A run paused while it holds the file (as Ctrl-Z leaves it) is waited for,
// however long, by a run through another of the file's names, by a run that
// holds a lock file while it may make none, and the other way round; then
// both edits are made. Runs of the two kinds at once take turns too.
TEST(SaveProtocolTest, APausedRunIsWaitedForThroughEveryNameAndLock) {
  if (geteuid() != 0 || !have("strace")) GTEST_SKIP() << "needs root to switch to an unprivileged user, and strace";
  // The holder and the waiter: as whom, and through which name.
  struct Case { const char* name; Args holder_user, waiter_user; bool waiter_by_link; };
  const Case cases[] = {{"through two names", {}, {}, true},
                        {"the holder may make no lock file", kAsNobody, {}, false},
                        {"the waiter may make no lock file", {}, kAsNobody, false}};
  struct Running { std::unique_ptr<ScratchDir> dir; std::string hosts; int holder, waiter; };
  std::vector<Running> running;
  for (const Case& c : cases) {
    auto dir = std::make_unique<ScratchDir>();
    const std::string hosts = closed_hosts(*dir, fs::perms(0755), kWritten);  // nobody may make no file beside it
    fs::create_directory(dir->file("other"));
    fs::create_hard_link(hosts, dir->file("other/hosts"));
    // Paused as it reads the file's mark, the first thing it does with both locks held.
    const int holder = start(stopped_at("fgetxattr", 1, SIGSTOP) + c.holder_user + Args{tool(), "/B", "holder.example.com", hosts});
    const int file = open(hosts.c_str(), O_RDWR);
    struct flock held {};
    for (int waited = 0; held.l_type != F_WRLCK && waited < 2000; ++waited) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      held = {};
      held.l_type = F_WRLCK;  // whatever is in the way of a write lock on any byte
      EXPECT_EQ(fcntl(file, F_OFD_GETLK, &held), 0);
    }
    close(file);
    EXPECT_EQ(held.l_type, F_WRLCK) << "the paused run holds no lock on the file";
    const std::string by = c.waiter_by_link ? dir->file("other/hosts") : hosts;
    running.push_back({std::move(dir), hosts, holder, start(c.waiter_user + Args{tool(), "/B", "waiter.example.com", by})});
  }
  std::this_thread::sleep_for(std::chrono::seconds(12));
  for (std::size_t i = 0; i < running.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    Running& r = running[i];
    EXPECT_EQ(waitpid(r.waiter, nullptr, WNOHANG), 0) << "the waiting run ended";
    EXPECT_EQ(read_file(r.hosts), kWritten);
    kill(child_of(r.holder), SIGCONT);
    EXPECT_EQ(finish(r.holder), 0);
    EXPECT_EQ(finish(r.waiter), 0);
    EXPECT_EQ(read_file(r.hosts), kWritten + entry("HOLDER.EXAMPLE.COM") + entry("WAITER.EXAMPLE.COM"));
  }
  const Running& r = running.front();
  EXPECT_EQ(block_at_once(r.hosts, 40, true), (std::map<int, int>{{0, 40}}));
  EXPECT_EQ(r.dir->entries("closed"), Args{"hosts"});
}

// Three hundred runs at once take turns, through one name (blocks append,
// unblocks write the file anew) or through four names of one file, which is
// then written in place: the source, a bind mount of it, a hard link in
// another directory and a bind mount of that. Blocks and unblocks of names
// of their own and of one name they share: every run ends with status 0,
// its edit made, and every other line is there once, on a small file and on
// one of 40 MB.
TEST(SaveProtocolTest, HundredsOfRunsTakeTurnsThroughEveryName) {
  ScratchDir dir;
  for (const char* name : {"a", "b", "c", "d"}) fs::create_directory(dir.file(name));
  for (const char* name : {"a", "b", "d"}) write_file(dir.file(name) + "/hosts", "");  // c/hosts: a link to a/hosts
  const Args one_name(4, dir.file("a/hosts"));
  const Args four_names = {dir.file("a/hosts"), dir.file("b/hosts"), dir.file("c/hosts"), dir.file("d/hosts")};
  const auto line = [](const std::string& name, int i) { return entry(name + std::to_string(i) + ".EXAMPLE.COM"); };
  struct Case { const char* name; const Args& names; int filler; };
  for (const Case& c : {Case{"one name", one_name, 0}, Case{"four names", four_names, 0}, Case{"four names, 40 MB", four_names, 1'300'000}}) {
    SCOPED_TRACE(c.name);
    if (&c.names == &four_names && !fs::exists(four_names[2])) {
      if (!private_mounts()) GTEST_SKIP() << "needs root for private mounts";
      fs::create_hard_link(four_names[0], four_names[2]);
      ASSERT_TRUE(bind(four_names[0], four_names[1]) && bind(four_names[2], four_names[3]));
    }
    // Every fifth run (of the 40 MB file's, every twentieth, each of which
    // writes half the file anew) unblocks a name of its own, every tenth
    // blocks or unblocks the shared one, the rest block names of their own.
    const int every = c.filler == 0 ? 5 : 20;
    std::string text = kWritten;
    for (int i = 0, own = 0; i < c.filler || own < 300; ++i) {
      if (own < 300 && i >= static_cast<long long>(c.filler) * own / 300) text += line("OWN", own), own += every;
      if (i < c.filler) text += "0.0.0.0 tracker" + std::to_string(i) + ".example.net\r\n";
    }
    write_file(c.names[0], text);
    std::vector<int> pids;
    for (int i = 0; i < 300; ++i) {
      const bool shared = i % 10 == 1, unblocks = i % every == 0 || (shared && i % 20 == 11);
      const std::string name = shared ? "shared.example.com" : (unblocks ? "own" : "run") + std::to_string(i) + ".example.com";
      pids.push_back(start({tool(), unblocks ? "/U" : "/B", name, c.names[i % 4]}));
    }
    std::map<int, int> statuses;
    for (const int pid : pids) ++statuses[finish(pid)];
    EXPECT_EQ(statuses, (std::map<int, int>{{0, 300}}));
    // The text, less the lines the runs removed, then the lines they added.
    const std::string now = read_file(c.names[0]);
    std::string kept = text;
    for (int i = 0; i < 300; i += every) kept.erase(kept.find(line("OWN", i)), line("OWN", i).size());
    EXPECT_TRUE(now.starts_with(kept)) << "the text the runs found is not whole";
    std::size_t size = kept.size();
    for (int i = 0; i < 300; ++i) {
      if (i % every == 0 || i % 10 == 1) continue;
      EXPECT_NE(now.find(line("RUN", i), kept.size()), now.npos) << i;
      size += line("RUN", i).size();
    }
    if (now.find(entry("SHARED.EXAMPLE.COM")) != now.npos) size += entry("SHARED.EXAMPLE.COM").size();
    EXPECT_EQ(now.size(), size) << "a line is there twice";
    for (const std::string& name : {c.names[0], c.names[2]}) {
      EXPECT_EQ(ScratchDir::names_in(fs::path(name).parent_path().string()), Args{"hosts"}) << name;
    }
  }
}

// A file that is a mount point, or the source of a bind mount, is written in
// place, never renamed over: both names go on showing one file. Also in a
// btrfs subvolume, whose files show a number of their own for the device,
// not the file system's.
TEST(SaveProtocolTest, AFileMountedElsewhereKeepsItsInode) {
  ScratchDir dir;
  Disk disk(dir, "btrfs");
  if (!private_mounts()) GTEST_SKIP() << "needs root for private mounts";
  for (const bool subvolume : {false, true}) {
    SCOPED_TRACE(subvolume ? "btrfs subvolume" : "directory");
    std::string place = dir.file("plain");
    if (subvolume) {
      if (!disk.make() || run({"btrfs", "subvolume", "create", dir.file("mnt/sub")}).status != 0) {
        GTEST_SKIP() << "needs mkfs.btrfs and btrfs";
      }
      place = dir.file("mnt/sub");
    }
    fs::create_directories(place);
    const std::string source = place + "/hosts", mounted = place + "/mounted";
    write_file(source, "127.0.0.1 localhost\n" + entry("A.COM") + entry("B.COM"));
    write_file(mounted, "");
    ASSERT_TRUE(bind(source, mounted));
    const std::uint64_t file = stamp_of(source).file;
    for (const auto& [by, name] : {std::pair{source, "a.com"}, std::pair{mounted, "b.com"}}) {
      SCOPED_TRACE(by);
      EXPECT_EQ(run({tool(), "/U", name, by}).status, 0);
      EXPECT_EQ(stamp_of(source).file, file);
      EXPECT_EQ(read_file(mounted), read_file(source));
    }
    EXPECT_EQ(read_file(source), kWritten);
    EXPECT_EQ(ScratchDir::names_in(place), (Args{"hosts", "mounted"}));
    umount2(mounted.c_str(), MNT_DETACH);
  }
}

// The first edit of a file in an overlay's lower layer copies it up, which
// may give it another number or device: lower and upper on one file system,
// and lower on a tmpfs, where xino is turned off if the system allows.
TEST(SaveProtocolTest, FirstEditOfAFileInAnOverlaysLowerLayer) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for private mounts";
  for (const bool tmpfs : {false, true}) {
    SCOPED_TRACE(tmpfs ? "lower on a tmpfs" : "one file system");
    ScratchDir dir;
    for (const char* name : {"lower", "upper", "work", "merged"}) fs::create_directory(dir.file(name));
    const std::string script = std::string(tmpfs ? "mount -t tmpfs tmpfs \"$1/lower\" || exit 99\n" : "") +
                               "printf '127.0.0.1 localhost\\n' > \"$1/lower/hosts\"\n"
                               "o=lowerdir=$1/lower,upperdir=$1/upper,workdir=$1/work\n"
                               "mount -t overlay overlay -o $o,xino=off \"$1/merged\" 2>/dev/null ||\n"
                               "  mount -t overlay overlay -o $o \"$1/merged\" || exit 99\n"
                               "exec \"$2\" /B a.com \"$1/merged/hosts\"";
    const RunResult result =
        run({"unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh", dir.path(), tool()});
    if (result.status == 99) GTEST_SKIP() << "overlay mounts unavailable";
    expect_run(result, dir.file("upper/hosts"), {kAdded, "", kBlocked, {"hosts"}});
  }
}

// Nobody's block of a file it may write in a directory it may not write
// (0755) or even list (0711), or may write but not list (0733): edited in
// place, after one try at most at making a lock file, and nothing left.
TEST(SaveProtocolTest, UnprivilegedRunInADirectoryItMayNotWrite) {
  if (geteuid() != 0 || !have("strace")) GTEST_SKIP() << "needs root to switch to an unprivileged user, and strace";
  // 0733: it may make files there, but not give them to the file's owner.
  for (const fs::perms mode : {fs::perms(0755), fs::perms(0711), fs::perms(0733)}) {
    SCOPED_TRACE(static_cast<int>(mode));
    ScratchDir dir;
    const std::string hosts = closed_hosts(dir, mode, kHosts), trace = dir.file("trace");
    const std::uint64_t file = stamp_of(hosts).file;
    const Args strace = {"strace", "-f", "-qq", "-e", "trace=openat", "-o", trace};
    expect_run(run(strace + kAsNobody + Args{tool(), "/B", "a.com", hosts}), hosts, {kAdded, "", kBlocked, {"hosts"}});
    EXPECT_EQ(stamp_of(hosts).file, file);
    std::istringstream lines(read_file(trace));
    int tries = 0;
    for (std::string line; std::getline(lines, line);) tries += line.find("hosts.tarnwick-lock") != line.npos;
    EXPECT_LE(tries, 2);
  }
}

// What makes the file the same file to its users survives every save route,
// through a symbolic link, which stays one: its owner, mode, access list,
// attributes and file capability. Also where an append is killed between its
// write and putting the capability back: the journal keeps it for the next
// run, but only a journal of the administrator's gives it back (another's
// may be forged).
TEST(SaveProtocolTest, MetadataSurvivesEverySaveRouteThroughALink) {
  if (geteuid() != 0 || !have("setfacl") || !have("getfattr") ||
      run({"sh", "-c", "command -v setcap && command -v getcap"}).status != 0) {
    GTEST_SKIP() << "needs root, setfacl, getfattr, setcap and getcap";
  }
  // The renamed file is another's: a new file would be the runner's.
  struct Case { Route route; bool killed; uid_t owner; bool kept; };
  for (const Case& c : {Case{kRoutes[0], false, 65534, true}, Case{kRoutes[1], false, 0, true},
                        Case{kRoutes[2], false, 0, true}, Case{kRoutes[2], true, 0, true},
                        Case{kRoutes[2], true, 65534, false}}) {
    SCOPED_TRACE(std::string(c.route.name) + (c.killed ? ", killed" : "") + ", owner " + std::to_string(c.owner));
    ScratchDir dir;
    const Hosts h = make_hosts(dir.path(), c.route, 3, "real");
    const std::string link = dir.file("hosts");
    fs::create_symlink("real", link);
    fs::permissions(h.path, fs::perms(0640));
    ASSERT_EQ(chown(h.path.c_str(), c.owner, c.owner), 0);
    ASSERT_EQ(run({"setfacl", "-m", "u:nobody:rw", h.path}).status + run({"setfattr", "-n", "user.a", "-v", "b", h.path}).status +
                  run({"setcap", "cap_net_bind_service+ep", h.path}).status, 0);
    const auto metadata = [&] {  // the owner and mode, with the access list
      return run({"getfacl", "-p", h.path}).output + run({"getfattr", "--absolute-names", "-d", "-m", "^user\\.", h.path}).output;
    };
    const std::string before = metadata();
    ASSERT_TRUE(before.find("user:nobody:rw-") != std::string::npos && before.find("user.a=\"b\"") != std::string::npos);
    if (c.killed) {
      // The mark takes the first two attributes the run sets (its own, and
      // the one earlier versions read), the capability the third.
      EXPECT_EQ(run(stopped_at("fsetxattr", 3) + Args{tool(), "/B", "killed.example.com", link}).status, 128 + SIGKILL);
    }
    EXPECT_EQ(run({tool(), "/B", "a.com", link}).status, 0);
    EXPECT_EQ(read_file(h.path), h.written + entry("A.COM"));
    EXPECT_EQ(metadata(), before);
    EXPECT_EQ(run({"getcap", h.path}).output.find("cap_net_bind_service=ep") != std::string::npos, c.kept);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(dir.entries(), h.entries + Args{"real"});
  }
}

// What others put at the lock file's name. A reader who locks the file, and
// holds a lock file of their own in its place, holds no run up. A live lock
// file a reader may not open is not theirs to remove. A file the file's owner
// may not open, which no run made, keeps the owner's runs out, since the lock
// files of runs that get past it would not exclude them. A lock file with the
// file's group, made by one who may not write the file, holds no run up.
TEST(SaveProtocolTest, LockFilesOthersPutInTheWay) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to unprivileged users";
  const Args kAsOther = {"setpriv", "--reuid=65533", "--regid=65533", "--clear-groups"};
  const std::string hold = "exec 3<\"$1\" && flock -x 3";
  const auto make = [](const Args& user, const std::string& script, const Args& files) {
    EXPECT_EQ(run(user + Args{"sh", "-c", script, "sh"} + files).status, 0);
  };
  const auto sticky = [](const ScratchDir& dir) { fs::permissions(dir.path(), fs::perms::all | fs::perms::sticky_bit); };
  // `plant` puts the lock file in place and gives the process holding it, if
  // any; the run is `runner`'s, and `report` ends with the file's path.
  struct Case {
    const char* name;
    std::function<int(const ScratchDir& dir, const std::string& hosts, const std::string& lock)> plant;
    Args runner;
    std::string printed, report, after;
    Args left;
  };
  const Args both = {"hosts", "hosts.tarnwick-lock"};
  const std::vector<Case> cases = {
      {"a reader's, the file locked too", [&](auto& dir, auto& hosts, auto& lock) {
         sticky(dir);
         make(kAsNobody, "umask 077 && : > \"$1\"", {lock});
         return hold_locks(kAsNobody, "exec 3<\"$1\" 4<\"$2\" && flock -x 4 && flock -s 3", {hosts, lock});
       }, {}, kAdded, "", kBlocked, {"hosts"}},
      {"a live one of root's", [&](auto&, auto&, auto& lock) {
         make({}, "umask 077 && : > \"$1\"", {lock});
         return hold_locks({}, hold, {lock});
       }, kAsNobody, kAdded, "EFCreateError Cannot create file ", kWritten, both},
      {"another's, the owner may not open it", [&](auto& dir, auto& hosts, auto& lock) {
         sticky(dir);
         EXPECT_EQ(chown(hosts.c_str(), 65534, 65534), 0);
         make(kAsOther, ": > \"$1\"", {lock});
         return 0;
       }, kAsNobody, "", "EFOpenError Cannot open file ", kWritten, both},
      {"with the file's group, by one who may not write it", [&](auto& dir, auto& hosts, auto& lock) {
         fs::create_directory(dir.file("setgid"));
         EXPECT_EQ(chown(dir.file("setgid").c_str(), 0, 4242) + chown(hosts.c_str(), 0, 4242), 0);
         fs::permissions(dir.file("setgid"), fs::perms(02777));
         fs::permissions(hosts, fs::perms(0664));
         make(kAsNobody, "umask 007 && : > \"$1\" && mv \"$1\" \"$2\"", {dir.file("setgid/lock"), lock});
         return hold_locks(kAsNobody, hold, {lock});
       }, {}, kAdded, "", kBlocked, {"hosts", "setgid"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string hosts = dir.file("hosts");
    write_file(hosts, kWritten);
    const int holder = c.plant(dir, hosts, hosts + ".tarnwick-lock");
    const RunResult result = run(c.runner + Args{"timeout", "5", tool(), "/B", "a.com", hosts});
    if (holder != 0) release(holder);
    expect_run(result, hosts, {c.printed, c.report.empty() ? "" : c.report + hosts, c.after, c.left});
  }
}

// A save killed through one of the file's names, what happened to the file
// since, and the next run, through the file's first name. The killed run
// came by that name, a hard link in another directory, a symbolic link, a
// bind mount, or a bind mount in a mount namespace of its own whose journal
// went with it; it was root's, or a group member's, whose journal only the
// file's mark vouches for. The next run plays the journal back wherever it
// can reach it (beside the other name, or in the mark) over a file its run
// could have left, torn on its way to disk too; a later edit stays, and the
// journal is set aside for good. Where the journal is out of reach, the file
// is taken as it is only where the mark shows the old text or the new one
// whole; otherwise the run ends as for a file held elsewhere. A mark copied
// onto another file is none of that file's business.
TEST(SaveProtocolTest, WhatAKilledSaveLeavesIsRecoveredThroughAnyName) {
  ScratchDir dir;
  if (!have("strace") || !private_mounts()) GTEST_SKIP() << "needs strace, and root for private mounts";
  // kSame: the first name, the file having a second (b/hosts), so that it is
  // written in place.
  enum By { kSame, kHardLink, kSymlink, kBindMount, kElsewhere };
  const std::string nas = "10.0.0.7 nas\r\n";
  using Meddle = std::function<std::string(const std::string& old_text, const std::string& now)>;
  const Meddle added = [&](auto&, auto& now) { return now + nas; };
  const Meddle inserted = [&](auto&, auto& now) {
    const std::size_t middle = now.find('\n', now.size() / 2) + 1;
    return now.substr(0, middle) + nas + now.substr(middle);
  };
  const Meddle replaced = [&](auto&, auto& now) { return now.substr(0, now.rfind('\n', now.size() - 2) + 1) + nas; };
  const Meddle torn = [](auto& old, auto& now) {  // 512-byte units of the old text and the new in turn
    std::string text = now.substr(0, (old.size() + now.size()) / 2);
    for (std::size_t at = 0; at < old.size(); at += 1024) text.replace(at, std::min<std::size_t>(512, old.size() - at), old.substr(at, 512));
    return text;
  };
  // Rewrites in place (the file's LF ends become CR LF) write the journal's
  // four parts, then the text in pieces of 256 KB: killed at the sixth
  // pwrite64, the file is half written; at the first ftruncate, written
  // whole. An append writes its journal into the file's mark; killed at its
  // second fsync, it is written but not done.
  struct Case { const char* name; By by; bool member, lf; std::string killed_at; int occurrence; Meddle meddle; std::string left; };
  const Case cases[] = {
      {"half rewritten, by a hard link", kHardLink, false, true, "pwrite64", 6, {}, "old"},
      {"half rewritten, by a bind mount", kBindMount, false, true, "pwrite64", 6, {}, "old"},
      {"half rewritten, out of reach", kElsewhere, false, true, "pwrite64", 6, {}, "refused"},
      {"rewritten whole, out of reach", kElsewhere, false, true, "ftruncate", 1, {}, "new"},
      {"not yet rewritten, out of reach", kElsewhere, false, true, "pwrite64", 5, {}, "old"},
      {"appended, by a symbolic link", kSymlink, false, false, "fsync", 2, {}, "old"},
      {"appended, out of reach", kElsewhere, false, false, "fsync", 2, {}, "old"},
      {"torn on its way to disk", kHardLink, false, true, "ftruncate", 1, torn, "old"},
      {"a line added since", kSame, false, true, "ftruncate", 1, added, "kept"},
      {"a line put in its middle since", kSame, false, true, "ftruncate", 1, inserted, "kept"},
      {"its last line replaced since", kSame, false, true, "ftruncate", 1, replaced, "kept"},
      {"a group member's, its mark copied", kSame, true, true, "ftruncate", 1, {}, "old"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& name : dir.entries()) fs::remove_all(dir.file(name));
    for (const char* name : {"a", "b"}) fs::create_directory(dir.file(name));
    const std::string source = dir.file("a/hosts"), second = dir.file("b/hosts"), other = c.by == kSame ? source : second;
    std::string old_text, written;
    for (int i = 0; i < 40000; ++i) {
      const std::string line = "0.0.0.0 tracker" + std::to_string(i) + ".example.net";
      old_text += line + (c.lf ? "\n" : "\r\n");
      written += line + "\r\n";
    }
    write_file(source, old_text);
    Args killed = stopped_at(c.killed_at, c.occurrence) + Args{tool(), "/B", "killed.example.com", other};
    if (c.by == kHardLink || c.by == kSame) fs::create_hard_link(source, second);
    if (c.by == kSymlink) fs::create_symlink(source, other);
    if (c.by == kBindMount) {
      write_file(other, "");
      EXPECT_TRUE(bind(source, other));
    }
    if (c.by == kElsewhere) {
      const std::string script = "mount -t tmpfs tmpfs \"$1\" && : > \"$1/hosts\" && mount --bind \"$2\" \"$1/hosts\" && shift 2 && exec \"$@\"";
      killed = Args{"unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh", dir.file("b"), source} + killed;
    }
    if (c.member) {  // in a directory that hands its group to every file made in it
      EXPECT_EQ(chown(dir.file("a").c_str(), 0, 4242) + chown(source.c_str(), 0, 4242), 0);
      fs::permissions(dir.file("a"), fs::perms(02775));
      fs::permissions(source, fs::perms(0664));
      killed = Args{"setpriv", "--reuid=65534", "--regid=65534", "--groups=4242"} + killed;
    }
    ASSERT_EQ(run(killed).status, 128 + SIGKILL);
    if (c.meddle) write_file(source, c.meddle(old_text, read_file(source)));  // the same file, written over
    if (c.member) {
      // Neither a change of its journal's mode nor a second name (a backup's)
      // makes it another journal.
      const std::string journal = dir.file("a/" + kJournal);
      fs::permissions(journal, fs::status(journal).permissions());
      fs::create_hard_link(journal, dir.file("backup"));
      const std::string dumped = run({"getfattr", "--absolute-names", "-e", "base64", "-d", "-n", "user.tarnwick.mark", source}).output;
      const std::size_t at = dumped.find("=0s");
      write_file(dir.file("b/other"), kWritten);
      EXPECT_EQ(run({"setfattr", "-n", "user.tarnwick.mark", "-v", dumped.substr(at + 1, dumped.find('\n', at) - at - 1), dir.file("b/other")}).status, 0);
      expect_run(run({tool(), "/B", "a.com", dir.file("b/other")}), dir.file("b/other"), {kAdded, "", kBlocked, {"hosts", "other"}});
    }
    const std::string left = read_file(source);
    const std::string next = entry("NEXT.EXAMPLE.COM");  // appended to a text in its written form
    const std::map<std::string, Outcome> outcomes = {
        {"old", {kAdded, "", written + next, {"hosts"}}},
        {"new", {kAdded, "", written + entry("KILLED.EXAMPLE.COM") + next, {"hosts"}}},
        {"kept", {kAdded, "", left + next, {"hosts", kJournal + ".1"}}},
        {"refused", {"", "EFOpenError Cannot open file " + source, left, {"hosts"}}}};
    expect_run(run({tool(), "/B", "next.example.com", source}), source, outcomes.at(c.left));
    const std::string marks = run({"getfattr", "--absolute-names", "-d", "-m", "user.tarnwick", source}).output;
    EXPECT_TRUE(c.left == "refused" ? left != old_text && left != written + entry("KILLED.EXAMPLE.COM") : marks.empty());
    if (c.by == kBindMount) umount2(other.c_str(), MNT_DETACH);
  }
}

// An unblock on XFS shares the file's blocks with its new text. Where the
// copy is refused (another file system, one that shares nothing, an old
// kernel), the text is written instead; where it fails, or finds the file
// ended before the bytes it held, the run fails and the old text stays.
TEST(SharedCopyTest, RefusedCopiesAreWrittenAndFailedOnesKeepTheOldText) {
  ScratchDir dir;
  Disk disk(dir, "xfs");
  if (!have("strace") || !disk.make()) GTEST_SKIP() << "needs root, strace and an XFS image mounted on a loop device";
  const std::string trace = dir.file("trace");
  struct Case { std::string injected; bool saved; };
  for (const auto& [injected, saved] : {Case{"", true}, Case{"error=EXDEV", true}, Case{"error=EOPNOTSUPP", true},
                                        Case{"error=ENOSYS", true}, Case{"error=EINVAL", true}, Case{"error=EPERM", true},
                                        Case{"error=EIO", false}, Case{"retval=0", false}}) {
    SCOPED_TRACE(injected);
    const Hosts h = make_hosts(disk.mount_point, kRoutes[3], 3000);
    Args strace = {"strace", "-f", "-qq", "-o", trace, "-e", "trace=copy_file_range"};
    if (!injected.empty()) strace.insert(strace.end(), {"-e", "inject=copy_file_range:" + injected + ":when=1"});
    const RunResult result = run(strace + Args{tool(), "/U", "killed.example.com", h.path});
    const std::string calls = read_file(trace);
    EXPECT_TRUE(injected.empty() ? std::regex_search(calls, std::regex(R"(copy_file_range\(.*\) = [1-9][0-9]*\n)"))
                                 : calls.find("(INJECTED)") != std::string::npos) << calls;
    expect_run(result, h.path, {"Entry removed\r\n", saved ? "" : "EWriteError Stream write error", saved ? h.after : h.before, h.entries});
  }
}

}  // namespace
}  // namespace tarnwick
#endif
