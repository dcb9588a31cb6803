// Runs a command-line program as a user would and captures what it says:
//
//   ToolRun r = run_tool(tool_path("orv-dump"), {"-p", dir});
//   EXPECT_EQ(r.status, 0);  EXPECT_EQ(r.out, "VERSION=3\n...");
//   r = run_tool(tool_path("orv-load"), {dir}, "VERSION=3\n...");  // stdin text
//
//   r = run_tool_argv({path, "-c", dir}, fd);   // stdout to fd; on_start(pid) runs
//                                               // while the program does
//   SpawnedTool t = spawn_tool(path, args);  // stdout on a pipe, for signal tests
//   r = run_tool_reader_gone(path, args);     // stdout on a pipe nobody reads
//
// The status is the exit status, or 128 + the signal number when the program
// was killed by a signal. tool_path names the programs built beside the
// tests (ORV_TOOL_DIR, set by the build).
#ifndef ORV_TESTS_UTIL_RUN_TOOL_H
#define ORV_TESTS_UTIL_RUN_TOOL_H

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace orv_test {

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

inline std::string tool_path(const std::string &name) {
#ifdef ORV_TOOL_DIR
  return std::string(ORV_TOOL_DIR) + "/" + name;
#else
  return name;
#endif
}

inline int wait_status(pid_t pid) {
  int st = 0;
  while (waitpid(pid, &st, 0) < 0) {
  }
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  return -1;
}

inline std::string read_all(int fd) {
  std::string s;
  char buf[65536];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<size_t>(n));
  return s;
}

namespace detail {

inline std::vector<char *> argv_of(const std::string &path, const std::vector<std::string> &args) {
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(path.c_str()));
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// An unlinked temporary file's descriptor (it lives while open).
inline int temp_fd() {
  FILE *f = std::tmpfile();
  if (f == nullptr) std::abort();
  int fd = dup(fileno(f));
  std::fclose(f);
  return fd;
}

// In the child: the given descriptors become 0, 1 and 2; default signal
// dispositions and an empty mask, as from a shell; then the program runs.
[[noreturn]] inline void exec_child(const std::vector<char *> &argv, int in, int out, int err) {
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

}  // namespace detail

// Runs argv (argv[0] is the program) with input as its standard input. Its
// standard output is captured, or goes to stdout_fd when that is given
// (r.out then stays empty); on_start, when given, is called with the
// child's pid while the program runs (before it is waited for).
inline ToolRun run_tool_argv(const std::vector<std::string> &args, int stdout_fd = -1,
                             const std::function<void(pid_t)> &on_start = nullptr,
                             const std::string &input = std::string()) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  int in = detail::temp_fd(), err = detail::temp_fd();
  int out = stdout_fd >= 0 ? -1 : detail::temp_fd();
  for (size_t off = 0; off < input.size();) {
    ssize_t n = write(in, input.data() + off, input.size() - off);
    if (n <= 0) std::abort();
    off += static_cast<size_t>(n);
  }
  lseek(in, 0, SEEK_SET);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) detail::exec_child(argv, in, stdout_fd >= 0 ? stdout_fd : out, err);
  if (on_start) on_start(pid);
  ToolRun r;
  r.status = wait_status(pid);
  if (out >= 0) {
    r.out = read_all(out);
    close(out);
  }
  r.err = read_all(err);
  close(in);
  close(err);
  return r;
}

// Runs path with args; input (if given) is its standard input, else it reads
// an empty input.
inline ToolRun run_tool(const std::string &path, const std::vector<std::string> &args,
                        const std::string &input = std::string()) {
  std::vector<std::string> argv{path};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_tool_argv(argv, -1, nullptr, input);
}

// Runs path with args and its standard output on a pipe whose reader has
// already gone away (every write fails with EPIPE, or raises SIGPIPE).
inline ToolRun run_tool_reader_gone(const std::string &path, const std::vector<std::string> &args) {
  std::vector<char *> argv = detail::argv_of(path, args);
  int p[2];
  if (pipe(p) != 0) std::abort();
  close(p[0]);
  int in = open("/dev/null", O_RDONLY), err = detail::temp_fd();
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) detail::exec_child(argv, in, p[1], err);
  close(p[1]);
  close(in);
  ToolRun r;
  r.status = wait_status(pid);
  r.err = read_all(err);
  close(err);
  return r;
}

// A program running with its standard output on a pipe the test reads from
// (out_fd) and its standard error in a file (read with read_all(err_fd)).
struct SpawnedTool {
  pid_t pid = -1;
  int out_fd = -1;
  int err_fd = -1;
};

inline SpawnedTool spawn_tool(const std::string &path, const std::vector<std::string> &args) {
  std::vector<char *> argv = detail::argv_of(path, args);
  int p[2];
  if (pipe(p) != 0) std::abort();
  int in = open("/dev/null", O_RDONLY), err = detail::temp_fd();
  std::fflush(nullptr);
  SpawnedTool t;
  t.pid = fork();
  if (t.pid == 0) {
    close(p[0]);
    detail::exec_child(argv, in, p[1], err);
  }
  close(p[1]);
  close(in);
  t.out_fd = p[0];
  t.err_fd = err;
  return t;
}

}  // namespace orv_test

#endif  // ORV_TESTS_UTIL_RUN_TOOL_H
