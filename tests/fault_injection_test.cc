// Makes each system call and each allocation of a whole run fail in turn, and
// checks that no failure loses the hosts file.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "support/failure.h"
#include "support/hosts_file.h"
#include "support/lifecycle.h"
#include "support/output_channel.h"
#include "test_support.h"
#include "tool/run_flow.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using testing::FakeSystem;
using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

struct Scenario {
  const char* name;
  const char* mode;
  std::string before;
  std::string after;
  bool hard_link;   // forces the journalled rewrite in place
  bool attribute;   // an extended attribute the rename must carry over
};

struct Outcome {
  int status = 0;
  std::string kind;
  std::string output;
  bool reached = false;  // the n-th call or allocation came
};

// A whole run, as the tool's main makes it, with the n-th call or allocation
// failing.
Outcome run_whole(const std::string& command_line, bool allocations, int n) {
  Outcome outcome;
  std::string_view kind;
  {
    FakeSystem fake;
    fake.stdout_type = platform::FileType::kCharacter;
    allocations ? fake.fail_nth_allocation(n) : fake.fail_nth_call(n);
    try {
      run(command_line);
    } catch (const Failure& failure) {
      outcome.status = 1;
      kind = kind_name(failure.kind());
    }
    close_channel();
    take_pending_io_error();
    outcome.reached = (allocations ? fake.allocations() : fake.calls()) >= n;
    fake.fail_nth_allocation(0);
    fake.fail_nth_call(0);
    outcome.output = fake.output();
  }
  outcome.kind = kind;
  return outcome;
}

const std::set<std::string> kPossibleKinds = {"EFOpenError", "EFCreateError", "EWriteError",
                                              "EReadError",  "EOutOfMemory",  "EInOutError"};

TEST(FaultInjectionTest, NoFailureLosesTheHostsFile) {
  std::string lf_text, crlf_text;
  for (int i = 0; i < 3000; ++i) {  // several pages
    lf_text += "0.0.0.0 tracker" + std::to_string(i) + ".example.net\n";
    crlf_text += "0.0.0.0 tracker" + std::to_string(i) + ".example.net\r\n";
  }
  const std::string entry = "127.0.0.1        ADS.EXAMPLE.COM\r\n";
  const std::vector<Scenario> scenarios = {
      {"block, LF text", "/B", lf_text, crlf_text + entry, false, false},
      {"block, CR LF text", "/B", crlf_text, crlf_text + entry, false, false},
      {"unblock", "/U", crlf_text + entry + "# end\n", crlf_text + "# end\r\n", false, false},
      {"block in place, journalled", "/B", lf_text, crlf_text + entry, true, false},
      {"unblock in place, journalled", "/U", lf_text + entry, crlf_text, true, false},
#ifndef _WIN32
      {"block keeping an attribute", "/B", lf_text, crlf_text + entry, false, true},
#endif
  };
  int points = 0;
  for (const Scenario& s : scenarios) {
    for (const bool allocations : {false, true}) {
      for (int n = 1;; ++n) {
        SCOPED_TRACE(::testing::Message() << s.name << (allocations ? ", allocation " : ", call ") << n);
        ScratchDir dir;
        const std::string path = dir.file("hosts");
        write_file(path, s.before);
        if (s.hard_link) fs::create_hard_link(path, dir.file("link"));
#ifndef _WIN32
        if (s.attribute) testing::set_attribute(path, "user.origin", "blocklist");
#endif
        const Outcome outcome = run_whole("tarnwick " + std::string(s.mode) + " ads.example.com " + path,
                                          allocations, n);
        // What the run left is cleared away by the next, before it reads the file.
        HostsFile{path};
        const std::string now = read_file(path);
        const bool is_new = now == s.after;
        EXPECT_TRUE(is_new || now == s.before);
        // A failed existence test is no failure: the file is reported missing.
        const bool not_found = outcome.output.find("Cannot load ") != std::string::npos;
        EXPECT_EQ(outcome.status == 0, is_new || not_found) << outcome.kind << "\n" << outcome.output;
        if (outcome.status != 0) {
          EXPECT_TRUE(kPossibleKinds.count(outcome.kind)) << outcome.kind;
        }
#ifndef _WIN32
        if (s.attribute) {
          EXPECT_EQ(testing::attribute(path, "user.origin"), "blocklist");
        }
#endif
        std::vector<std::string> expected_entries = {"hosts"};
        if (s.hard_link) expected_entries.push_back("link");
        EXPECT_EQ(dir.entries(), expected_entries);
        if (!outcome.reached) break;
        ++points;
      }
    }
  }
  std::cout << "[   INFO   ] injection points exercised: " << points << "\n";
  EXPECT_GT(points, 100);
}

}  // namespace
}  // namespace tarnwick
