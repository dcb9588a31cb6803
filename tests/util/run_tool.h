// Runs a command-line program as a user would and captures what it says:
//
//   ToolRun r = run_tool({tool_path("orv-drop"), "-s", "db", dir});
//   EXPECT_EQ(r.status, 0);  // exit status; -N when killed by signal N
//   EXPECT_EQ(r.out, "");    // standard output
//   EXPECT_EQ(r.err, "");    // standard error
//
// Standard input is /dev/null. With stdout_fd set, the program writes its
// standard output there instead (r.out stays empty); with on_start set, it
// is called with the child's pid while the program runs.
#ifndef ORV_TESTS_UTIL_RUN_TOOL_H
#define ORV_TESTS_UTIL_RUN_TOOL_H

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace orv_test {

struct ToolRun {
  int status = -1000;
  std::string out;
  std::string err;
};

inline std::string tool_path(const std::string &name) { return std::string(ORV_TOOL_DIR) + "/" + name; }

namespace run_tool_detail {

inline int temp_file() {
  const char *base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/orv-tool-XXXXXX";
  const int fd = mkstemp(tmpl.data());
  if (fd >= 0) unlink(tmpl.c_str());
  return fd;
}

inline std::string read_all(int fd) {
  std::string out;
  lseek(fd, 0, SEEK_SET);
  char buf[65536];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

}  // namespace run_tool_detail

inline ToolRun run_tool(const std::vector<std::string> &args, int stdout_fd = -1,
                        const std::function<void(pid_t)> &on_start = nullptr) {
  ToolRun r;
  const int out = stdout_fd >= 0 ? -1 : run_tool_detail::temp_file();
  const int err = run_tool_detail::temp_file();
  if ((stdout_fd < 0 && out < 0) || err < 0) return r;
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(stdout_fd >= 0 ? stdout_fd : out, 1);
    dup2(err, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (on_start) on_start(pid);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  if (out >= 0) r.out = run_tool_detail::read_all(out);
  r.err = run_tool_detail::read_all(err);
  return r;
}

}  // namespace orv_test

#endif  // ORV_TESTS_UTIL_RUN_TOOL_H
