// orv-dump: writes one database, or every named database, of an environment
// as portable dump text that orv-load reads back.
//
// A dump is a sequence of sections, one per database:
//
//   VERSION=3
//   format=bytevalue            ("print" with -p)
//   database=NAME               (named databases only)
//   type=btree
//   mapsize=N
//   mapaddr=0x...               (only for a fixed map address)
//   maxreaders=N
//   duplicates=1                (sorted-duplicate databases only)
//   dupsort=1 ...               (one line per database flag set)
//   db_pagesize=N
//   HEADER=END
//    KEY                        (one line per key, one per value; each
//    VALUE                       starts with a space)
//   DATA=END
//
// In "bytevalue" every byte is two lowercase hexadecimal digits; in "print"
// bytes 0x20 to 0x7E stand for themselves (a backslash is doubled) and any
// other byte is a backslash and two hexadecimal digits.
//
// The environment is opened read-only and read in one read transaction, so
// the dump is one consistent snapshot while other processes write. A signal
// (including SIGPIPE, when the reader of the output goes away) is noticed
// between entries: the section ends with "DATA=END" and the tool exits 1.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "orv.h"

namespace {

const char *prog;
volatile sig_atomic_t got_signal = 0;

void on_signal(int) { got_signal = 1; }

// Database flags that a dump names, in the order their lines are written.
struct FlagName {
  unsigned bit;
  const char *name;
};
constexpr FlagName kFlagNames[] = {
    {ORV_REVERSEKEY, "reversekey"}, {ORV_DUPSORT, "dupsort"},       {ORV_INTEGERKEY, "integerkey"},
    {ORV_DUPFIXED, "dupfixed"},     {ORV_INTEGERDUP, "integerdup"}, {ORV_REVERSEDUP, "reversedup"},
};

constexpr char kHex[] = "0123456789abcdef";

// Writes one data line: a space, the encoded bytes, a newline. Bytes are
// encoded into a small buffer and written a buffer at a time.
void write_bytes(const ORV_val &v, bool print) {
  char buf[1024];
  size_t n = 0;
  buf[n++] = ' ';
  const auto *p = static_cast<const unsigned char *>(v.mv_data);
  for (const unsigned char *end = p + v.mv_size; p < end; p++) {
    if (n + 4 > sizeof buf) {  // up to 3 bytes, and room for the newline
      std::fwrite(buf, 1, n, stdout);
      n = 0;
    }
    if (print && *p >= 0x20 && *p <= 0x7E) {
      if (*p == '\\') buf[n++] = '\\';
      buf[n++] = static_cast<char>(*p);
    } else {
      if (print) buf[n++] = '\\';
      buf[n++] = kHex[*p >> 4];
      buf[n++] = kHex[*p & 15];
    }
  }
  buf[n++] = '\n';
  std::fwrite(buf, 1, n, stdout);
}

// Writes the section of one database. Returns 0 at the end of its data,
// EINTR after a signal (the section still ends with "DATA=END"), or the
// first failing call's code. A read error ends the output without
// "DATA=END", so that the text cannot pass for a complete section.
int dump_section(ORV_txn *txn, ORV_dbi dbi, const char *name, bool print) {
  unsigned int flags = 0;
  ORV_stat st;
  ORV_envinfo info;
  if (int rc = orv_dbi_flags(txn, dbi, &flags); rc != 0) return rc;
  if (int rc = orv_stat(txn, dbi, &st); rc != 0) return rc;
  if (int rc = orv_env_info(orv_txn_env(txn), &info); rc != 0) return rc;

  std::printf("VERSION=3\n");
  std::printf("format=%s\n", print ? "print" : "bytevalue");
  if (name != nullptr) std::printf("database=%s\n", name);
  std::printf("type=btree\n");
  std::printf("mapsize=%zu\n", static_cast<size_t>(info.mi_mapsize));
  if (info.mi_mapaddr != nullptr) std::printf("mapaddr=%p\n", info.mi_mapaddr);
  std::printf("maxreaders=%u\n", info.mi_maxreaders);
  if (flags & ORV_DUPSORT) std::printf("duplicates=1\n");
  for (const FlagName &f : kFlagNames) {
    if (flags & f.bit) std::printf("%s=1\n", f.name);
  }
  std::printf("db_pagesize=%d\n", static_cast<int>(st.ms_psize));
  std::printf("HEADER=END\n");

  ORV_cursor *mc = nullptr;
  if (int rc = orv_cursor_open(txn, dbi, &mc); rc != 0) return rc;
  ORV_val key, data;
  int rc;
  while ((rc = orv_cursor_get(mc, &key, &data, ORV_NEXT)) == 0) {
    if (got_signal) {
      rc = EINTR;
      break;
    }
    write_bytes(key, print);
    write_bytes(data, print);
  }
  orv_cursor_close(mc);
  if (rc == ORV_NOTFOUND) rc = 0;
  if (rc == 0 || rc == EINTR) std::printf("DATA=END\n");
  return rc;
}

// Walks the keys of the main database and handles every one that opens as
// a named database: lists its name (-l) or dumps it. Returns 0, ORV_NOTFOUND
// when the main database holds no key at all, or the first failure.
int dump_all(ORV_txn *txn, ORV_dbi main_dbi, const char *path, bool list, bool print) {
  ORV_cursor *mc = nullptr;
  if (int rc = orv_cursor_open(txn, main_dbi, &mc); rc != 0) {
    std::fprintf(stderr, "orv_cursor_open failed, error %d %s\n", rc, orv_strerror(rc));
    return rc;
  }
  ORV_val key;
  unsigned long counted = 0;
  int rc;
  while ((rc = orv_cursor_get(mc, &key, nullptr, ORV_NEXT_NODUP)) == 0) {
    if (std::memchr(key.mv_data, '\0', key.mv_size) != nullptr) continue;
    counted++;
    char *name = static_cast<char *>(std::malloc(key.mv_size + 1));
    if (name == nullptr) {
      rc = ENOMEM;
      break;
    }
    std::memcpy(name, key.mv_data, key.mv_size);
    name[key.mv_size] = '\0';
    ORV_dbi dbi;
    if (orv_dbi_open(txn, name, 0, &dbi) == 0) {
      if (list) {
        std::printf("%s\n", name);
      } else {
        rc = dump_section(txn, dbi, name, print);
      }
      orv_dbi_close(orv_txn_env(txn), dbi);
    }
    std::free(name);
    if (rc != 0) break;
  }
  orv_cursor_close(mc);
  // A read error is reported as itself, not as a lack of databases.
  if (rc != 0 && rc != ORV_NOTFOUND) return rc;
  if (counted == 0) {
    std::fprintf(stderr, "%s: %s does not contain multiple databases\n", prog, path);
    return ORV_NOTFOUND;
  }
  return 0;
}

[[noreturn]] void usage() {
  std::fprintf(stderr, "usage: %s [-V] [-f output] [-l] [-n] [-p] [-v] [-a|-s subdb] dbpath\n",
               prog);
  std::exit(EXIT_FAILURE);
}

// Reports a failed library call and closes the environment.
[[noreturn]] void fail(const char *call, int rc, ORV_env *env) {
  std::fprintf(stderr, "%s failed, error %d %s\n", call, rc, orv_strerror(rc));
  orv_env_close(env);
  std::exit(EXIT_FAILURE);
}

}  // namespace

int main(int argc, char *argv[]) {
  prog = argv[0];
  if (argc < 2) usage();
  // Signals (SIGPIPE too: a reader of the output that went away) are only
  // noted; the dump looks at them between entries.
  std::signal(SIGPIPE, on_signal);
  std::signal(SIGHUP, on_signal);
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);

  bool all = false, list = false, print = false;
  unsigned int envflags = 0;
  const char *subname = nullptr;
  int ch;
  while ((ch = getopt(argc, argv, "af:lnps:vV")) != -1) {
    switch (ch) {
      case 'V':
        std::printf("%s\n", orv_version(nullptr, nullptr, nullptr));
        return EXIT_SUCCESS;
      case 'l':
        list = true;
        [[fallthrough]];
      case 'a':
        if (subname != nullptr) usage();
        all = true;
        break;
      case 'f':
        if (std::freopen(optarg, "w", stdout) == nullptr) {
          std::fprintf(stderr, "%s: %s: reopen: %s\n", prog, optarg, std::strerror(errno));
          return EXIT_FAILURE;
        }
        break;
      case 'n':
        envflags |= ORV_NOSUBDIR;
        break;
      case 'p':
        print = true;
        break;
      case 's':
        if (all) usage();
        subname = optarg;
        break;
      case 'v':
        envflags |= ORV_PREVSNAPSHOT;
        break;
      default:
        usage();
    }
  }
  if (optind != argc - 1) usage();
  const char *path = argv[optind];

  ORV_env *env = nullptr;
  int rc = orv_env_create(&env);
  if (rc != 0) fail("orv_env_create", rc, nullptr);
  if (all || subname != nullptr) orv_env_set_maxdbs(env, 2);
  rc = orv_env_open(env, path, envflags | ORV_RDONLY, 0664);
  if (rc != 0) fail("orv_env_open", rc, env);

  ORV_txn *txn = nullptr;
  rc = orv_txn_begin(env, nullptr, ORV_RDONLY, &txn);
  if (rc != 0) fail("orv_txn_begin", rc, env);
  ORV_dbi dbi = 0;
  rc = orv_dbi_open(txn, subname, 0, &dbi);
  if (rc != 0) {
    orv_txn_abort(txn);
    fail("orv_open", rc, env);
  }

  rc = all ? dump_all(txn, dbi, path, list, print) : dump_section(txn, dbi, subname, print);
  // Output that did not reach its file (a full disk, a closed pipe) is no
  // dump at all.
  if (std::fflush(stdout) != 0 && rc == 0) rc = errno;
  if (std::ferror(stdout) && rc == 0) rc = EIO;
  if (rc != 0 && rc != ORV_NOTFOUND)
    std::fprintf(stderr, "%s: %s: %s\n", prog, path, orv_strerror(rc));

  orv_dbi_close(env, dbi);
  orv_txn_abort(txn);
  orv_env_close(env);
  return rc == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
