// The progress line of the long-running tools (orv-copy, orv-load,
// orv-verify): one line on standard error, redrawn in place with a carriage
// return, shown only while standard error is a terminal. Scripts, pipes and
// files see nothing of it, so that the tools' messages stay exactly what
// they are.
//
//   Progress p(prog);
//   if (p.on() && p.due()) p.draw(done, "pages", total, -1);
//   p.clear();  // before any message, and at the end
//
// The first line is drawn at once, later ones at most four times a second.
// A line shows what is done, the rate since the start and, where it can be
// known (a total, or the fraction of the input read), the time still left.
#ifndef ORV_TOOLS_PROGRESS_H
#define ORV_TOOLS_PROGRESS_H

#include <time.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>

namespace orv_tool {

class Progress {
 public:
  explicit Progress(const char *prog) : prog_(prog), on_(isatty(STDERR_FILENO) == 1) {
    start_ = now();
  }
  ~Progress() { clear(); }
  Progress(const Progress &) = delete;
  Progress &operator=(const Progress &) = delete;

  bool on() const { return on_; }

  // Whether a new line is due. Cheap enough to ask every few entries.
  bool due() {
    if (!on_) return false;
    const double t = now();
    if (drawn_ != 0 && t - last_ < kInterval) return false;
    last_ = t;
    return true;
  }

  // Draws done units; total 0 when unknown; fraction in [0, 1] of the
  // work done when known by other means (the input read), else negative.
  void draw(uint64_t done, const char *unit, uint64_t total, double fraction) {
    if (!on_) return;
    if (total != 0) fraction = static_cast<double>(done) / static_cast<double>(total);
    const double secs = now() - start_;
    char line[160];
    int n = std::snprintf(line, sizeof line, "%s: %" PRIu64 " %s", prog_, done, unit);
    if (total != 0) n += std::snprintf(line + n, sizeof line - n, " of %" PRIu64, total);
    if (fraction >= 0) {
      if (fraction > 1) fraction = 1;
      n += std::snprintf(line + n, sizeof line - n, " (%.0f%%%s)", 100 * fraction,
                         total != 0 ? "" : " of the input");
    }
    if (secs >= kInterval) {
      n += std::snprintf(line + n, sizeof line - n, ", %.0f %s/s", done / secs, unit);
      if (fraction > 0 && fraction < 1)
        n += std::snprintf(line + n, sizeof line - n, ", about %.0f s left",
                           secs * (1 - fraction) / fraction);
    }
    if (n < 0 || n >= static_cast<int>(sizeof line)) n = static_cast<int>(sizeof line) - 1;
    // Spaces cover what is left of a longer line drawn before.
    const int pad = drawn_ > n ? drawn_ - n : 0;
    std::fprintf(stderr, "\r%s%*s", line, pad, "");
    if (pad > 0) std::fprintf(stderr, "\r%s", line);
    std::fflush(stderr);
    drawn_ = n;
  }

  // Erases the line, leaving the cursor at the start of it.
  void clear() {
    if (drawn_ == 0) return;
    std::fprintf(stderr, "\r%*s\r", drawn_, "");
    std::fflush(stderr);
    drawn_ = 0;
  }

 private:
  static constexpr double kInterval = 0.25;  // seconds between two lines

  static double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  }

  const char *prog_;
  bool on_;
  double start_ = 0, last_ = 0;
  int drawn_ = 0;  // length of the line on the screen, 0 for none
};

}  // namespace orv_tool

#endif  // ORV_TOOLS_PROGRESS_H
