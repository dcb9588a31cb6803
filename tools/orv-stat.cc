// orv-stat: prints statistics of an environment: its information (-e), its
// reader table (-r, -rr clears slots of dead processes), its free-page
// database (-f, -ff, -fff for increasing detail) and the tree statistics of
// the main database, of one named database (-s) or of all of them (-a).
//
// The environment is opened read-only; everything after the reader table
// is read in one read transaction, so the figures describe one snapshot.
//
// A free-page record is keyed by the 64-bit id of the transaction that
// freed its pages; its value is a page list: a count n, then n page
// numbers in descending order (all native 64-bit words).
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "orv.h"

namespace {

const char *prog;

[[noreturn]] void usage() {
  std::fprintf(
      stderr, "usage: %s [-V] [-n] [-e] [-r[r]] [-f[f[f]]] [-v] [-L] [-a|-s subdb] dbpath\n", prog);
  std::exit(EXIT_FAILURE);
}

int call_failed(const char *call, int rc) {
  std::fprintf(stderr, "%s failed, error %d %s\n", call, rc, orv_strerror(rc));
  return rc;
}

// Line writer of the reader listing: 0 on success, -1 (which stops the
// listing) when the line could not be written.
int put_line(const char *line, void *ctx) {
  return std::fputs(line, static_cast<FILE *>(ctx)) < 0 ? -1 : 0;
}

void print_stat(const ORV_stat &st) {
  std::printf("  Tree depth: %u\n", st.ms_depth);
  std::printf("  Branch pages: %zu\n", static_cast<size_t>(st.ms_branch_pages));
  std::printf("  Leaf pages: %zu\n", static_cast<size_t>(st.ms_leaf_pages));
  std::printf("  Overflow pages: %zu\n", static_cast<size_t>(st.ms_overflow_pages));
  std::printf("  Entries: %zu\n", static_cast<size_t>(st.ms_entries));
}

int print_env_info(ORV_env *env) {
  ORV_stat st;
  ORV_envinfo info;
  if (int rc = orv_env_stat(env, &st); rc != 0) return call_failed("orv_env_stat", rc);
  if (int rc = orv_env_info(env, &info); rc != 0) return call_failed("orv_env_info", rc);
  std::printf("Environment Info\n");
  std::printf("  Map address: %p\n", info.mi_mapaddr);
  std::printf("  Map size: %zu\n", static_cast<size_t>(info.mi_mapsize));
  std::printf("  Page size: %u\n", st.ms_psize);
  std::printf("  Max pages: %zu\n", static_cast<size_t>(info.mi_mapsize / st.ms_psize));
  std::printf("  Number of pages used: %zu\n", static_cast<size_t>(info.mi_last_pgno + 1));
  std::printf("  Last transaction ID: %zu\n", static_cast<size_t>(info.mi_last_txnid));
  std::printf("  Max readers: %u\n", info.mi_maxreaders);
  std::printf("  Number of readers used: %u\n", info.mi_numreaders);
  return 0;
}

// Lists the reader table; with clear, sweeps slots of dead processes and
// lists again. Returns 0 when every listing was written.
int print_readers(ORV_env *env, bool clear) {
  std::printf("Reader Table Status\n");
  int failed = orv_reader_list(env, put_line, stdout) < 0;
  if (clear) {
    int dead = 0;
    if (int rc = orv_reader_check(env, &dead); rc != 0) return call_failed("orv_reader_check", rc);
    std::printf("  %d stale readers cleared.\n", dead);
    failed |= orv_reader_list(env, put_line, stdout) < 0;
  }
  return failed ? EIO : 0;
}

uint64_t page_at(const unsigned char *list, size_t i) {
  uint64_t pg;
  std::memcpy(&pg, list + i * sizeof pg, sizeof pg);
  return pg;
}

// One free-page record: its line with -ff, its page runs with -fff.
void print_free_record(uint64_t txnid, const unsigned char *list, size_t n, bool truncated,
                       int detail) {
  // The longest run of consecutive pages; a list that is not strictly
  // descending, or names page 0 or 1 (the meta pages), is bad.
  uint64_t prev = 1;
  size_t span = 0;
  const char *bad = truncated ? " [bad sequence]" : "";
  for (size_t i = n; i >= 1; i--) {
    uint64_t pg = page_at(list, i);
    if (pg <= prev) bad = " [bad sequence]";
    prev = pg;
    while (i > span && page_at(list, i - span) == pg + span) span++;
  }
  std::printf("    Transaction %zu, %zd pages, maxspan %zd%s\n", static_cast<size_t>(txnid),
              static_cast<ssize_t>(n), static_cast<ssize_t>(span), bad);
  if (detail < 3) return;
  for (size_t k = n; k >= 1;) {
    uint64_t pg = page_at(list, k);
    size_t run = 1;
    while (k - run >= 1 && page_at(list, k - run) == pg + run) run++;
    if (run > 1)
      std::printf("     %9zu[%zd]\n", static_cast<size_t>(pg), static_cast<ssize_t>(run));
    else
      std::printf("     %9zu\n", static_cast<size_t>(pg));
    k -= run;
  }
}

int print_freelist(ORV_txn *txn, int detail) {
  std::printf("Freelist Status\n");
  ORV_cursor *mc = nullptr;
  if (int rc = orv_cursor_open(txn, 0, &mc); rc != 0) return call_failed("orv_cursor_open", rc);
  ORV_stat st;
  if (int rc = orv_stat(txn, 0, &st); rc != 0) {
    orv_cursor_close(mc);
    return call_failed("orv_stat", rc);
  }
  print_stat(st);
  size_t total = 0;
  ORV_val key, data;
  int rc;
  while ((rc = orv_cursor_get(mc, &key, &data, ORV_NEXT)) == 0) {
    const auto *list = static_cast<const unsigned char *>(data.mv_data);
    const size_t words = data.mv_size / sizeof(uint64_t);
    uint64_t n = words > 0 ? page_at(list, 0) : 0;
    // Never read past the record: a count larger than the record holds is
    // shown as what is there, and marked bad.
    bool truncated = words == 0 || n > words - 1;
    if (truncated) n = words > 0 ? words - 1 : 0;
    total += n;
    if (detail > 1) {
      uint64_t txnid = 0;
      std::memcpy(&txnid, key.mv_data, key.mv_size < sizeof txnid ? key.mv_size : sizeof txnid);
      print_free_record(txnid, list, n, truncated, detail);
    }
  }
  orv_cursor_close(mc);
  // A total over the records read before an error would be a wrong answer.
  if (rc != ORV_NOTFOUND) return call_failed("orv_cursor_get", rc);
  std::printf("  Free pages: %zu\n", total);
  return 0;
}

int print_db(ORV_txn *txn, ORV_dbi dbi, const char *name) {
  ORV_stat st;
  if (int rc = orv_stat(txn, dbi, &st); rc != 0) return call_failed("orv_stat", rc);
  std::printf("Status of %s\n", name);
  print_stat(st);
  return 0;
}

// Statistics of every key of the main database that opens as a database.
int print_all(ORV_txn *txn, ORV_dbi main_dbi) {
  ORV_cursor *mc = nullptr;
  if (int rc = orv_cursor_open(txn, main_dbi, &mc); rc != 0)
    return call_failed("orv_cursor_open", rc);
  ORV_val key;
  int rc;
  while ((rc = orv_cursor_get(mc, &key, nullptr, ORV_NEXT_NODUP)) == 0) {
    if (std::memchr(key.mv_data, '\0', key.mv_size) != nullptr) continue;
    char *name = static_cast<char *>(std::malloc(key.mv_size + 1));
    if (name == nullptr) {
      rc = call_failed("malloc", ENOMEM);
      break;
    }
    std::memcpy(name, key.mv_data, key.mv_size);
    name[key.mv_size] = '\0';
    ORV_dbi dbi;
    if (orv_dbi_open(txn, name, 0, &dbi) == 0) {
      rc = print_db(txn, dbi, name);  // reports its own failure
      orv_dbi_close(orv_txn_env(txn), dbi);
    }
    std::free(name);
    if (rc != 0) {
      orv_cursor_close(mc);
      return rc;
    }
  }
  orv_cursor_close(mc);
  if (rc == ORV_NOTFOUND) return 0;
  if (rc != ENOMEM) call_failed("orv_cursor_get", rc);
  return rc;
}

// Output that did not reach its destination makes the run a failure.
int flush_output() {
  if (std::fflush(stdout) != 0) return errno;
  return std::ferror(stdout) ? EIO : 0;
}

}  // namespace

int main(int argc, char *argv[]) {
  prog = argv[0];
  if (argc < 2) usage();
  // A reader of the output that goes away makes writes fail; it must not
  // kill the tool half-way.
  std::signal(SIGPIPE, SIG_IGN);

  bool all = false, envinfo = false;
  int freinfo = 0, rdrinfo = 0;
  unsigned int envflags = 0;
  const char *subname = nullptr;
  int ch;
  while ((ch = getopt(argc, argv, "Vaefnrs:vL")) != -1) {
    switch (ch) {
      case 'V':
        std::printf("%s\n", orv_version(nullptr, nullptr, nullptr));
        return EXIT_SUCCESS;
      case 'a':
        if (subname != nullptr) usage();
        all = true;
        break;
      case 'e':
        envinfo = true;
        break;
      case 'f':
        freinfo++;
        break;
      case 'n':
        envflags |= ORV_NOSUBDIR;
        break;
      case 'r':
        rdrinfo++;
        break;
      case 's':
        if (all) usage();
        subname = optarg;
        break;
      case 'v':
        envflags |= ORV_PREVSNAPSHOT;
        break;
      case 'L':
        envflags |= ORV_NOLOCK;
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
  if (all || subname != nullptr) orv_env_set_maxdbs(env, 4);
  rc = orv_env_open(env, path, envflags | ORV_RDONLY, 0664);
  if (rc != 0) {
    call_failed("orv_env_open", rc);
    orv_env_close(env);
    return EXIT_FAILURE;
  }

  ORV_txn *txn = nullptr;
  ORV_dbi dbi = 0;
  bool dbi_open = false;
  if (envinfo && (rc = print_env_info(env)) != 0) goto done;
  if (rdrinfo) {
    rc = print_readers(env, rdrinfo > 1);
    if (rc != 0 || (!freinfo && !all && subname == nullptr)) goto done;
  }

  if ((rc = orv_txn_begin(env, nullptr, ORV_RDONLY, &txn)) != 0) {
    call_failed("orv_txn_begin", rc);
    txn = nullptr;
    goto done;
  }
  if (freinfo && (rc = print_freelist(txn, freinfo)) != 0) goto done;
  if ((rc = orv_dbi_open(txn, subname, 0, &dbi)) != 0) {
    call_failed("orv_open", rc);
    goto done;
  }
  dbi_open = true;
  if ((rc = print_db(txn, dbi, subname != nullptr ? subname : "Main DB")) != 0) goto done;
  if (all) rc = print_all(txn, dbi);

done:
  if (int frc = flush_output(); frc != 0 && rc == 0) {
    std::fprintf(stderr, "%s: %s: %s\n", prog, path, orv_strerror(frc));
    rc = frc;
  }
  if (dbi_open) orv_dbi_close(env, dbi);
  orv_txn_abort(txn);
  orv_env_close(env);
  return rc == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
