// Makes each system call and each allocation of a whole run fail in turn, and
// checks that no failure loses the hosts file.

#include "hosts/hosts_file.h"
#include "test_support.h"
#include "tool/run_flow.h"

namespace tarnwick {
namespace {

TEST(FaultInjectionTest, NoFailureLosesTheHostsFile) {
  std::string crlf;
  // More than the 256 KB the text is gathered in before it is written.
  for (int i = 0; i < 10000; ++i) crlf += "0.0.0.0 tracker" + std::to_string(i) + ".example.net\r\n";
  // The entry after it crosses a page's end: a cut there takes the page.
  crlf += "#" + std::string((4096 + 4080 - crlf.size() % 4096 - 3) % 4096, 'x') + "\r\n";
  const std::string lf = std::regex_replace(crlf, std::regex("\r"), "");
  const std::string entry = "127.0.0.1        ADS.EXAMPLE.COM\r\n";
  struct Scenario { const char* mode; std::string before, after; bool hard_link; };  // linked: rewritten in place
  const std::vector<Scenario> scenarios = {
      {"/B", lf, crlf + entry, false},
      {"/B", crlf, crlf + entry, false},  // appended
      {"/U", crlf + entry + "# end\n", crlf + "# end\r\n", false},
      {"/U", crlf + entry, crlf, false},  // cut short
      {"/B", lf, crlf + entry, true},
      {"/U", lf + entry, crlf, true},
  };
  const std::set<std::string> kinds = {"",           "EFOpenError",  "EFCreateError", "EWriteError",
                                       "EReadError", "EOutOfMemory", "EInOutError"};
  // Where the file keeps no mark of a change, only runs through the name a
  // journal is beside find it.
  const bool other_name = testing::keeps_marks();
  int points = 0;
  for (const Scenario& s : scenarios) {
    for (const bool allocations : {false, true}) {
      for (int n = 1, reached = true; reached; ++n) {
        SCOPED_TRACE(::testing::Message() << s.mode << " " << s.before.size() << (s.hard_link ? " linked" : "")
                                          << (allocations ? ", allocation " : ", call ") << n);
        testing::ScratchDir dir;
        const std::string path = dir.file("hosts");
        testing::write_file(path, s.before);
        if (s.hard_link) std::filesystem::create_hard_link(path, dir.file("link"));
        testing::FakeSystem fake;
        fake.stdout_type = platform::FileType::kCharacter;
        (allocations ? fake.nth_allocation : fake.nth_call) = n;
        std::string kind;
        try {
          run("tarnwick " + std::string(s.mode) + " ads.example.com " + path);
        } catch (const Failure& failure) {
          kind = kind_name(failure.kind());
        }
        close_channel();
        reached = (allocations ? fake.allocations : fake.calls) >= n;
        fake.nth_allocation = fake.nth_call = 0;
        // A failed run leaves the old text or the new one, never a mix: the
        // new one where a rename could not be made durable, or where its
        // journal stays for the next run to play back.
        const std::string left = testing::read_file(path);
        EXPECT_TRUE(kind.empty() || left == s.before || left == s.after) << kind << " " << left.size();
        // What the run left is cleared away by the next, before it reads the
        // file, whichever of its names it comes by.
        HostsFile{s.hard_link && other_name ? dir.file("link") : path};
        const std::string now = testing::read_file(path);
        EXPECT_TRUE(now == s.after || now == s.before);
        // A failed existence test is no failure: the file is reported missing.
        // A failure leaves the old text, once the next run has begun, but for
        // a rename that could not be made durable.
        const bool not_durable = fake.failed == platform::Call::kSyncDirectory && kind == "EWriteError";
        EXPECT_TRUE(kind.empty() ? now == s.after || fake.output.find("Cannot load ") != std::string::npos
                                 : now == s.before || (not_durable && now == s.after))
            << kind << fake.output;
        EXPECT_TRUE(kinds.count(kind)) << kind;
        EXPECT_EQ(dir.entries(), (s.hard_link ? std::vector<std::string>{"hosts", "link"} : std::vector<std::string>{"hosts"}));
        points += reached;
      }
    }
  }
  EXPECT_GT(points, 100);
}

}  // namespace
}  // namespace tarnwick
