// orv-verify: checks every tree of an environment's current snapshot and
// prints each problem found on its own line, naming the page and what is
// wrong, followed by a summary line. A sound file prints nothing (the
// summary only with -v). The environment is opened read-only and read in
// one read transaction, so the tool runs beside a writer.
//
// While standard error is a terminal, a progress line there shows the pages
// checked; it is erased before anything else is printed.
//
// Exit status: 0 for a sound file, 1 when problems were found or the
// check could not run.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "orv.h"
#include "progress.h"

namespace {

const char *prog;

[[noreturn]] void usage() {
  std::fprintf(stderr, "usage: %s [-V] [-n] [-v] dbpath\n", prog);
  std::exit(EXIT_FAILURE);
}

int call_failed(const char *call, int rc) {
  std::fprintf(stderr, "%s failed, error %d %s\n", call, rc, orv_strerror(rc));
  return rc;
}

// The verifier's last line is its summary, printed only when it matters:
// each line is held back until the next one arrives.
struct Lines {
  char held[1024];
  bool have = false;
  bool failed = false;
  orv_tool::Progress *progress = nullptr;
};

void put(Lines &l, const char *line) {
  // Standard output may be the terminal the progress line is on: the line
  // goes out whole before the progress line is drawn again.
  if (l.progress != nullptr) l.progress->clear();
  if (std::fputs(line, stdout) < 0) l.failed = true;
  if (l.progress != nullptr) std::fflush(stdout);
}

void on_progress(uint64_t done, uint64_t total, void *ctx) {
  auto *p = static_cast<orv_tool::Progress *>(ctx);
  if (done == total || p->due()) p->draw(done, "pages", total, -1);
}

int on_line(const char *line, void *ctx) {
  auto &l = *static_cast<Lines *>(ctx);
  if (l.have) put(l, l.held);
  std::snprintf(l.held, sizeof l.held, "%s", line);
  l.have = true;
  return l.failed ? -1 : 0;
}

}  // namespace

int main(int argc, char *argv[]) {
  prog = argv[0];
  // A reader of the output that goes away makes writes fail; it must not
  // kill the tool half-way.
  std::signal(SIGPIPE, SIG_IGN);

  unsigned int envflags = 0;
  bool verbose = false;
  int ch;
  while ((ch = getopt(argc, argv, "Vnv")) != -1) {
    switch (ch) {
      case 'V':
        std::printf("%s\n", orv_version(nullptr, nullptr, nullptr));
        return EXIT_SUCCESS;
      case 'n':
        envflags |= ORV_NOSUBDIR;
        break;
      case 'v':
        verbose = true;
        break;
      default:
        usage();
    }
  }
  if (optind != argc - 1) usage();
  const char *path = argv[optind];

  ORV_env *env = nullptr;
  int rc = orv_env_create(&env);
  if (rc != 0) return call_failed("orv_env_create", rc), EXIT_FAILURE;
  rc = orv_env_open(env, path, envflags | ORV_RDONLY, 0664);
  if (rc != 0) {
    call_failed("orv_env_open", rc);
    orv_env_close(env);
    return EXIT_FAILURE;
  }
  Lines lines;
  orv_tool::Progress progress(prog);
  if (progress.on()) {
    lines.progress = &progress;
    orv_env_set_progress(env, on_progress, &progress);
  }
  rc = orv_env_verify(env, 0, on_line, &lines);
  progress.clear();
  if (lines.have && (rc != 0 || verbose)) put(lines, lines.held);
  if (rc != 0 && rc != ORV_CORRUPTED && !lines.failed) call_failed("orv_env_verify", rc);
  orv_env_close(env);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) lines.failed = true;
  if (lines.failed) {
    std::fprintf(stderr, "%s: %s: %s\n", prog, path, orv_strerror(EIO));
    return EXIT_FAILURE;
  }
  return rc == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
