// [progress]: tools/progress.h in orv-copy, orv-load and orv-verify - the
// progress line on standard error: drawn and erased again while standard
// error is a terminal (a pseudo-terminal here), and nothing of it otherwise,
// so that the tools' output, messages and exit status stay the same.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tools/tool_env.h"
#include "util/run_tool.h"
#include "util/tempdir.h"

namespace orv_test {
namespace {

const std::string kCopy = tool_path("orv-copy");
const std::string kVerify = tool_path("orv-verify");

// Runs argv with its standard error on a pseudo-terminal: out is standard
// output (a file), err everything the terminal received.
ToolRun run_on_terminal(const std::vector<std::string> &args) {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) std::abort();
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  FILE *outf = std::tmpfile();
  const int out = fileno(outf);
  const int in = open("/dev/null", O_RDONLY);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(master);
    detail::exec_child(argv, in, out, slave);
  }
  close(slave);
  close(in);
  ToolRun r;
  char buf[4096];
  // The terminal is read while the program runs; once it has exited and
  // its side is closed, the read fails with EIO.
  for (;;) {
    const ssize_t n = read(master, buf, sizeof buf);
    if (n > 0) {
      r.err.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(master);
  r.status = wait_status(pid);
  r.out = read_all(out);
  std::fclose(outf);
  return r;
}

struct Shown {
  std::string text;   // what is left without the progress lines
  bool seen = false;  // a progress line was drawn
  bool left = false;  // and the last one was not erased
};

// What the terminal shows once the progress lines are gone: the terminal
// turns every newline into CR LF; any other CR starts or erases a progress
// line ("<prog>: <number> <unit>...", or spaces), drawn over in place.
Shown without_progress(const std::string &tty, const std::string &prog) {
  Shown r;
  std::string text;
  for (size_t i = 0; i < tty.size(); i++) {
    if (tty[i] == '\r' && i + 1 < tty.size() && tty[i + 1] == '\n') continue;
    text += tty[i];
  }
  size_t start = 0;
  for (bool first = true; start <= text.size(); first = false) {
    size_t end = text.find('\r', start);
    if (end == std::string::npos) end = text.size();
    std::string seg = text.substr(start, end - start);
    const std::string head = prog + ": ";
    const bool blank = !seg.empty() && seg.find_first_not_of(' ') == std::string::npos;
    const bool line = seg.compare(0, head.size(), head) == 0 && seg.size() > head.size() &&
                      std::isdigit(static_cast<unsigned char>(seg[head.size()])) &&
                      seg.find('\n') == std::string::npos;
    if (!first && line) r.seen = r.left = true;
    if (!first && blank) r.left = false;
    if (first || !(blank || line)) r.text += seg;
    start = end + 1;
  }
  return r;
}

struct Case {
  const char *what;
  std::string tool;
  std::vector<std::string> args;  // "{src}", "{dst}", "{dump}" are replaced
  const char *unit;               // in the progress line; null: none expected
  int status;
};

class ProgressLine : public testing::Test {
 protected:
  void SetUp() override {
    // 30,000 entries with a few large values; a third deleted again.
    Entries e = numbered(30000);
    for (size_t i = 0; i < e.size(); i += 500) e[i].second.assign(7000, 'x');
    make_env(src_.path(), {{"", 0, e}});
    ORV_env *env = open_env(src_.path());
    ORV_txn *txn = nullptr;
    ASSERT_EQ(orv_txn_begin(env, nullptr, 0, &txn), 0);
    for (size_t i = 0; i < e.size(); i += 3) {
      ORV_val k = bytes(e[i].first);
      ASSERT_EQ(orv_del(txn, 1, &k, nullptr), 0);
    }
    ASSERT_EQ(orv_txn_commit(txn), 0);
    orv_env_close(env);
    ToolRun d = run_tool(kDump, {src_.path()});
    ASSERT_EQ(d.status, 0) << d.err;
    dump_ = work_.file("dump.txt");
    std::ofstream(dump_) << d.out;
    // The same text cut short after 300 entries: the load fails half-way.
    const size_t cut = d.out.find(" ", d.out.find("HEADER=END"));
    size_t at = cut;
    for (int i = 0; i < 600; i++) at = d.out.find('\n', at) + 1;
    cut_ = work_.file("cut.txt");
    std::ofstream(cut_) << d.out.substr(0, at) << "zz\n";
  }

  // Fills in the paths of one run; dst is a new directory.
  std::vector<std::string> argv(const Case &c, const std::string &dst) {
    std::vector<std::string> out{c.tool};
    for (const std::string &a : c.args) {
      if (a == "{src}") {
        out.push_back(src_.path());
      } else if (a == "{dst}") {
        out.push_back(dst);
      } else if (a == "{dump}") {
        out.push_back(dump_);
      } else if (a == "{cut}") {
        out.push_back(cut_);
      } else {
        out.push_back(a);
      }
    }
    return out;
  }

  TempDir src_, work_;
  std::string dump_, cut_;
};

TEST_F(ProgressLine, OnlyOnATerminalAndErasedBeforeEveryMessage) {
  const Case cases[] = {
      {"compacting copy", kCopy, {"-c", "{src}", "{dst}"}, "pages", 0},
      {"plain copy", kCopy, {"{src}", "{dst}"}, "pages", 0},
      {"compacting copy to standard output", kCopy, {"-c", "{src}"}, "pages", 0},
      {"copy onto an existing copy", kCopy, {"-c", "{src}", "{src}"}, nullptr, 1},
      {"verify", kVerify, {"-v", "{src}"}, "pages", 0},
      {"load", kLoad, {"-f", "{dump}", "{dst}"}, "entries", 0},
      {"load of a cut input", kLoad, {"-f", "{cut}", "{dst}"}, "entries", 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir a, b;
    const std::vector<std::string> tty_args = argv(c, a.path());
    const std::vector<std::string> plain_args = argv(c, b.path());
    const ToolRun tty = run_on_terminal(tty_args);
    const ToolRun plain = run_tool_argv(plain_args);

    EXPECT_EQ(tty.status, c.status) << tty.err;
    EXPECT_EQ(plain.status, c.status) << plain.err;
    EXPECT_EQ(tty.out, plain.out);
    // Not a terminal: not one byte of progress.
    EXPECT_EQ(plain.err.find('\r'), std::string::npos) << plain.err;
    const Shown shown = without_progress(tty.err, c.tool);
    const std::string raw = testing::PrintToString(tty.err);
    // Every message comes out whole, on a line of its own, and no progress
    // line is left on the screen at the end.
    EXPECT_EQ(shown.text, plain.err) << raw;
    EXPECT_EQ(shown.seen, c.unit != nullptr) << raw;
    EXPECT_FALSE(shown.left) << raw;
    if (c.unit != nullptr) {
      EXPECT_NE(tty.err.find(std::string(" ") + c.unit), std::string::npos) << raw;
    }
  }
}

}  // namespace
}  // namespace orv_test
