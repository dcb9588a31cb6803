// orv-load: reads dump text (as orv-dump writes it) or plain text and stores
// its entries into an environment, creating the environment and its
// databases as needed.
//
// The reader of the dump text is kept apart from the loading so that it can
// be driven on its own: a fuzz target defines ORV_LOAD_NO_MAIN, includes this
// file and calls read_header and read_data on a DumpReader over any bytes
// (fmemopen). It never trusts its input, grows its line buffers by
// doubling, and reports every line it cannot use with its line number.
//
// Loading runs one write transaction per 100 puts and flushes the
// environment (opened with ORV_NOSYNC) once per section. A key or value line
// that cannot be read or decoded, and input that stops before a section's
// "DATA=END", fail the load: the batch in progress is aborted and the tool
// exits 1, so a damaged dump never loads as a shorter one. Batches committed
// before the failure stay in the environment.
//
// While standard error is a terminal, a progress line there shows the
// entries loaded and, when the input is a file, how much of it is read and
// the time still left; it is erased before every message.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "orv.h"
#include "progress.h"

namespace {

const char *prog = "orv-load";

// The progress line while one is shown (standard error is a terminal).
orv_tool::Progress *g_progress = nullptr;

// Every message goes through here: the progress line is erased first.
void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char *fmt, ...) {
  if (g_progress != nullptr) g_progress->clear();
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
}

// ---- Dump text reader ----------------------------------------------------------------

// A line buffer that doubles when a longer line arrives.
struct LineBuf {
  char *data = nullptr;
  size_t cap = 0;
};

bool buf_init(LineBuf *b, size_t cap) {
  b->data = static_cast<char *>(std::malloc(cap));
  b->cap = b->data != nullptr ? cap : 0;
  return b->data != nullptr;
}

bool buf_double(LineBuf *b) {
  char *p = static_cast<char *>(std::realloc(b->data, b->cap * 2));
  if (p == nullptr) return false;
  b->data = p;
  b->cap *= 2;
  return true;
}

void buf_free(LineBuf *b) {
  std::free(b->data);
  b->data = nullptr;
  b->cap = 0;
}

// State of one input, kept across its sections.
struct DumpReader {
  FILE *in = nullptr;
  size_t lineno = 0;       // every line read so far
  bool eof = false;        // the input has ended
  bool plain = false;      // -T: no header, no end markers, print escapes
  bool print = false;      // the current section is in "print" format
  char *dbname = nullptr;  // name in force (-s, then every "database=" line)
  unsigned dbflags = 0;    // database flags of the current section
  // Sizing from the first header only; later headers are read, not applied.
  int nheaders = 0;
  bool has_mapsize = false, has_maxreaders = false;
  size_t mapsize = 0;
  unsigned maxreaders = 0;
  void *mapaddr = nullptr;
  LineBuf line;  // header lines and values
};

// Database flags a header may name, as "<name>=...".
struct FlagName {
  unsigned bit;
  const char *name;
};
constexpr FlagName kFlagNames[] = {
    {ORV_REVERSEKEY, "reversekey"}, {ORV_DUPSORT, "dupsort"},       {ORV_INTEGERKEY, "integerkey"},
    {ORV_DUPFIXED, "dupfixed"},     {ORV_INTEGERDUP, "integerdup"}, {ORV_REVERSEDUP, "reversedup"},
};

enum class LineRead { kLine, kPartial, kNone, kNoMemory };

// Reads one line into b from offset 0, newline included, and NUL-terminates
// it; *len is its length. kPartial: the input ended inside the line; kNone:
// it ended before the first byte.
LineRead read_line(DumpReader *r, LineBuf *b, size_t *len) {
  size_t n = 0;
  for (;;) {
    int c = getc_unlocked(r->in);
    if (c == EOF) {
      r->eof = true;
      b->data[n] = '\0';
      *len = n;
      return n == 0 ? LineRead::kNone : LineRead::kPartial;
    }
    if (n + 2 > b->cap && !buf_double(b)) {
      *len = n;
      return LineRead::kNoMemory;
    }
    b->data[n++] = static_cast<char>(c);
    if (c == '\n') {
      b->data[n] = '\0';
      *len = n;
      return LineRead::kLine;
    }
  }
}

void report(const DumpReader *r, const char *what) {
  say("%s: line %zu: %s\n", prog, r->lineno, what);
}

int hexval(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes s[0, n) in place; false when it is not valid in its format.
bool decode(char *s, size_t *n, bool print) {
  const size_t len = *n;
  size_t out = 0;
  if (print) {
    for (size_t i = 0; i < len; i++) {
      if (s[i] != '\\') {
        s[out++] = s[i];
      } else if (i + 1 < len && s[i + 1] == '\\') {
        s[out++] = '\\';
        i++;
      } else {
        if (i + 2 >= len) return false;  // fewer than two digits follow
        int hi = hexval(static_cast<unsigned char>(s[i + 1]));
        int lo = hexval(static_cast<unsigned char>(s[i + 2]));
        if (hi < 0 || lo < 0) return false;
        s[out++] = static_cast<char>(hi << 4 | lo);
        i += 2;
      }
    }
  } else {
    if (len % 2 != 0) return false;
    for (size_t i = 0; i < len; i += 2) {
      int hi = hexval(static_cast<unsigned char>(s[i]));
      int lo = hexval(static_cast<unsigned char>(s[i + 1]));
      if (hi < 0 || lo < 0) return false;
      s[out++] = static_cast<char>(hi << 4 | lo);
    }
  }
  *n = out;
  return true;
}

enum class DataRead {
  kData,        // *out holds the decoded bytes (maybe none)
  kSectionEnd,  // "DATA=END"
  kInputEnd,    // the input ended before the line
  kError,       // reported: a line that cannot be read or decoded
};

// Reads one data line into b and decodes it; *out points into b.
DataRead read_data(DumpReader *r, LineBuf *b, ORV_val *out) {
  if (r->eof) return DataRead::kInputEnd;
  size_t len = 0;
  if (!r->plain) {
    int c = std::getc(r->in);
    if (c == EOF) {
      r->eof = true;
      return DataRead::kInputEnd;
    }
    if (c != ' ') {
      r->lineno++;
      LineRead lr = read_line(r, b, &len);
      if (c == 'D' && lr != LineRead::kNoMemory && std::strncmp(b->data, "ATA=END", 7) == 0)
        return DataRead::kSectionEnd;
      report(r, "unexpected end of input");
      return DataRead::kError;
    }
  }
  LineRead lr = read_line(r, b, &len);
  if (lr == LineRead::kNone && r->plain) return DataRead::kInputEnd;
  r->lineno++;
  if (lr == LineRead::kNoMemory) {
    report(r, "out of memory, line too long");
    return DataRead::kError;
  }
  if (lr != LineRead::kLine) {
    report(r, "unexpected end of input");
    return DataRead::kError;
  }
  len--;  // the newline
  if (!decode(b->data, &len, r->print || r->plain)) {
    report(r, "unexpected end of input");
    return DataRead::kError;
  }
  out->mv_data = b->data;
  out->mv_size = len;
  return DataRead::kData;
}

enum class HeaderRead { kHeader, kNoInput, kError };

bool starts_with(const char *s, const char *prefix) {
  return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

// Reads a section header up to "HEADER=END". kNoInput: the input ended
// before its first line (the end of a well-formed dump).
HeaderRead read_header(DumpReader *r) {
  r->dbflags = 0;
  const bool first = r->nheaders++ == 0;
  for (int nlines = 0;; nlines++) {
    size_t len = 0;
    LineRead lr = read_line(r, &r->line, &len);
    if (lr == LineRead::kNone) {
      if (nlines == 0) return HeaderRead::kNoInput;
      report(r, "unexpected end of input");
      return HeaderRead::kError;
    }
    r->lineno++;
    if (lr == LineRead::kNoMemory) {
      report(r, "out of memory, line too long");
      return HeaderRead::kError;
    }
    char *s = r->line.data;
    if (len > 0 && s[len - 1] == '\n') s[--len] = '\0';

    if (starts_with(s, "VERSION=")) {
      int version = std::atoi(s + 8);
      if (version > 3) {
        say("%s: line %zu: unsupported VERSION %d\n", prog, r->lineno, version);
        return HeaderRead::kError;
      }
    } else if (starts_with(s, "HEADER=END")) {
      return HeaderRead::kHeader;
    } else if (starts_with(s, "format=")) {
      const char *v = s + 7;
      if (starts_with(v, "print")) {
        r->print = true;
      } else if (starts_with(v, "bytevalue")) {
        // Each section says its own format: a bytevalue section after a
        // print one must not be read as print text.
        r->print = false;
      } else {
        say("%s: line %zu: unsupported FORMAT %s\n", prog, r->lineno, v);
        return HeaderRead::kError;
      }
    } else if (starts_with(s, "database=")) {
      char *name = strdup(s + 9);
      if (name == nullptr) {
        report(r, "out of memory, line too long");
        return HeaderRead::kError;
      }
      std::free(r->dbname);
      r->dbname = name;
    } else if (starts_with(s, "type=")) {
      if (!starts_with(s + 5, "btree")) {
        say("%s: line %zu: unsupported type %s\n", prog, r->lineno, s + 5);
        return HeaderRead::kError;
      }
    } else if (starts_with(s, "mapaddr=")) {
      void *addr = nullptr;
      if (std::sscanf(s + 8, "%p", &addr) != 1) {
        say("%s: line %zu: invalid mapaddr %s\n", prog, r->lineno, s + 8);
        return HeaderRead::kError;
      }
      if (first) r->mapaddr = addr;
    } else if (starts_with(s, "mapsize=")) {
      size_t size = 0;
      if (std::sscanf(s + 8, "%zu", &size) != 1) {
        say("%s: line %zu: invalid mapsize %s\n", prog, r->lineno, s + 8);
        return HeaderRead::kError;
      }
      if (first) {
        r->mapsize = size;
        r->has_mapsize = true;
      }
    } else if (starts_with(s, "maxreaders=")) {
      unsigned readers = 0;
      if (std::sscanf(s + 11, "%u", &readers) != 1) {
        say("%s: line %zu: invalid maxreaders %s\n", prog, r->lineno, s + 11);
        return HeaderRead::kError;
      }
      if (first) {
        r->maxreaders = readers;
        r->has_maxreaders = true;
      }
    } else {
      bool known = false;
      for (const FlagName &f : kFlagNames) {
        size_t n = std::strlen(f.name);
        if (std::strncmp(s, f.name, n) == 0 && s[n] == '=') {
          r->dbflags |= f.bit;
          known = true;
          break;
        }
      }
      if (known) continue;
      char *eq = std::strchr(s, '=');
      if (eq == nullptr) {
        report(r, "unexpected format");
        return HeaderRead::kError;
      }
      *eq = '\0';
      say("%s: line %zu: unrecognized keyword ignored: %s\n", prog, r->lineno, s);
    }
  }
}

// ---- Loading -----------------------------------------------------------------------

// Under -a every item arrives in order, so the new one is always the greater.
int always_greater(const ORV_val *, const ORV_val *) { return 1; }

struct Options {
  bool append = false;
  bool nooverwrite = false;
  unsigned envflags = 0;
};

// The load of one input; every failure is reported where it happens.
struct Loader {
  Options opt;
  DumpReader *rd = nullptr;
  ORV_env *env = nullptr;
  ORV_txn *txn = nullptr;
  ORV_cursor *mc = nullptr;
  ORV_dbi dbi = 0;
  unsigned dbflags = 0;  // flags of the section's database
  LineBuf key;
  char *prev = nullptr;  // previous key under -a, for duplicate runs
  size_t prev_size = 0;
  size_t prev_cap = 0;
  uint64_t nput = 0;        // entries stored, over all sections
  uint64_t input_size = 0;  // bytes of an input file, 0 when not known
};

// Draws the progress line when one is due: entries stored and the part of
// an input file read.
void show_progress(Loader *ld) {
  if (g_progress == nullptr || !g_progress->due()) return;
  double fraction = -1;
  if (ld->input_size != 0) {
    const off_t pos = ftello(ld->rd->in);
    if (pos >= 0) fraction = static_cast<double>(pos) / static_cast<double>(ld->input_size);
  }
  g_progress->draw(ld->nput, "entries", 0, fraction);
}

bool call_failed(const char *call, int rc) {
  say("%s failed, error %d %s\n", call, rc, orv_strerror(rc));
  return false;
}

void remember_key(Loader *ld, const ORV_val &k) {
  // A key longer than the buffer is longer than any key the library takes:
  // its put fails, and nothing is remembered.
  ld->prev_size = k.mv_size <= ld->prev_cap ? k.mv_size : 0;
  std::memcpy(ld->prev, k.mv_data, ld->prev_size);
}

// Begins a batch: a write transaction and a cursor on the section's database.
bool begin_batch(Loader *ld, bool first) {
  int rc = orv_txn_begin(ld->env, nullptr, 0, &ld->txn);
  if (rc != 0) {
    ld->txn = nullptr;
    return call_failed("orv_txn_begin", rc);
  }
  if (first) {
    unsigned flags = ld->rd->dbflags | ORV_CREATE;
    if ((rc = orv_dbi_open(ld->txn, ld->rd->dbname, flags, &ld->dbi)) != 0)
      return call_failed("orv_dbi_open", rc);
    // The database's own flags: an existing one keeps those it was made with.
    ld->dbflags = 0;
    orv_dbi_flags(ld->txn, ld->dbi, &ld->dbflags);
    if (ld->opt.append) {
      orv_set_compare(ld->txn, ld->dbi, always_greater);
      if (ld->dbflags & ORV_DUPSORT) orv_set_dupsort(ld->txn, ld->dbi, always_greater);
    }
  }
  if ((rc = orv_cursor_open(ld->txn, ld->dbi, &ld->mc)) != 0) {
    ld->mc = nullptr;
    return call_failed("orv_cursor_open", rc);
  }
  return true;
}

bool commit_batch(Loader *ld) {
  int rc = orv_txn_commit(ld->txn);
  ld->txn = nullptr;
  ld->mc = nullptr;  // released by the transaction's end
  if (rc != 0) {
    say("%s: line %zu: txn_commit: %s\n", prog, ld->rd->lineno, orv_strerror(rc));
    return false;
  }
  return true;
}

// Loads one section's data lines. False after a reported failure, with the
// batch in progress still open for the caller to abort.
bool load_section(Loader *ld) {
  DumpReader *rd = ld->rd;
  if (!begin_batch(ld, true)) return false;
  ld->prev_size = 0;
  int batch = 0;
  for (;;) {
    ORV_val k, v;
    DataRead dr = read_data(rd, &ld->key, &k);
    if (dr == DataRead::kSectionEnd || (dr == DataRead::kInputEnd && rd->plain)) break;
    if (dr == DataRead::kInputEnd) {
      // Dump text ends every section with "DATA=END": without it the
      // input was cut short.
      report(rd, "unexpected end of input");
      return false;
    }
    if (dr == DataRead::kError) return false;
    dr = read_data(rd, &rd->line, &v);
    if (dr != DataRead::kData) {
      if (dr != DataRead::kError) report(rd, "failed to read key value");
      return false;
    }

    unsigned flags = 0;
    if (ld->opt.append) {
      flags = ORV_APPEND;
      if (ld->dbflags & ORV_DUPSORT) {
        if (k.mv_size == ld->prev_size && std::memcmp(k.mv_data, ld->prev, k.mv_size) == 0)
          flags = ORV_CURRENT | ORV_APPENDDUP;
        else
          remember_key(ld, k);
      }
    }
    if (ld->opt.nooverwrite) flags |= ORV_NOOVERWRITE | ORV_NODUPDATA;
    int rc = orv_cursor_put(ld->mc, &k, &v, flags);
    if (rc == ORV_KEYEXIST && ld->opt.nooverwrite) continue;
    if (rc != 0) {
      say("%s: line %zu: orv_cursor_put failed, error %d %s\n", prog, rd->lineno, rc,
          orv_strerror(rc));
      return false;
    }
    // The clock is read every 64 entries only.
    if ((++ld->nput & 63) == 0) show_progress(ld);
    if (++batch < 100) continue;
    if (!commit_batch(ld) || !begin_batch(ld, false)) return false;
    batch = 0;
    if (ld->opt.append) {
      ORV_val last, ldata;
      if (orv_cursor_get(ld->mc, &last, &ldata, ORV_LAST) == 0) remember_key(ld, last);
    }
  }
  if (!commit_batch(ld)) return false;
  if (int rc = orv_env_sync(ld->env, 1); rc != 0) return call_failed("orv_env_sync", rc);
  orv_dbi_close(ld->env, ld->dbi);
  return true;
}

[[noreturn]] void usage() {
  say("usage: %s [-V] [-a] [-f input] [-n] [-s name] [-N] [-T] dbpath\n", prog);
  std::exit(EXIT_FAILURE);
}

}  // namespace

#ifndef ORV_LOAD_NO_MAIN
int main(int argc, char *argv[]) {
  prog = argv[0];
  if (argc < 2) usage();

  // Nothing is written to standard output but -V; a reader that went
  // away must not kill a load half-way.
  std::signal(SIGPIPE, SIG_IGN);

  DumpReader rd;
  rd.in = stdin;
  Options opt;
  int ch;
  while ((ch = getopt(argc, argv, "af:ns:NQTV")) != -1) {
    switch (ch) {
      case 'V':
        std::printf("%s\n", orv_version(nullptr, nullptr, nullptr));
        return EXIT_SUCCESS;
      case 'a':
        opt.append = true;
        break;
      case 'f':
        if (std::freopen(optarg, "r", stdin) == nullptr) {
          say("%s: %s: reopen: %s\n", prog, optarg, std::strerror(errno));
          return EXIT_FAILURE;
        }
        break;
      case 'n':
        opt.envflags |= ORV_NOSUBDIR;
        break;
      case 's':
        std::free(rd.dbname);
        if ((rd.dbname = strdup(optarg)) == nullptr) {
          call_failed("strdup", ENOMEM);
          return EXIT_FAILURE;
        }
        break;
      case 'N':
        opt.nooverwrite = true;
        break;
      case 'Q':  // the environment is always opened with ORV_NOSYNC
        break;
      case 'T':
        rd.plain = rd.print = true;
        break;
      default:
        usage();
    }
  }
  if (optind != argc - 1) usage();
  const char *path = argv[optind];

  int status = EXIT_FAILURE;
  Loader ld;
  ld.opt = opt;
  ld.rd = &rd;
  orv_tool::Progress progress(prog);
  if (progress.on()) {
    g_progress = &progress;
    struct stat st;
    if (fstat(fileno(rd.in), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
      ld.input_size = static_cast<uint64_t>(st.st_size);
  }
  HeaderRead hr = HeaderRead::kHeader;
  int rc;
  if (!buf_init(&rd.line, 4096)) {
    call_failed("malloc", ENOMEM);
    goto out;
  }
  if (!rd.plain && (hr = read_header(&rd)) == HeaderRead::kError) goto out;

  if ((rc = orv_env_create(&ld.env)) != 0) {
    call_failed("orv_env_create", rc);
    goto out;
  }
  orv_env_set_maxdbs(ld.env, 2);
  if (rd.has_maxreaders && (rc = orv_env_set_maxreaders(ld.env, rd.maxreaders)) != 0) {
    call_failed("orv_env_set_maxreaders", rc);
    goto out;
  }
  if (rd.has_mapsize && (rc = orv_env_set_mapsize(ld.env, rd.mapsize)) != 0) {
    call_failed("orv_env_set_mapsize", rc);
    goto out;
  }
  if (rd.mapaddr != nullptr) opt.envflags |= ORV_FIXEDMAP;
  if ((rc = orv_env_open(ld.env, path, ORV_NOSYNC | opt.envflags, 0664)) != 0) {
    call_failed("orv_env_open", rc);
    goto out;
  }
  {
    size_t keycap = 2 * static_cast<size_t>(orv_env_get_maxkeysize(ld.env)) + 2;
    ld.prev = static_cast<char *>(std::malloc(keycap));
    ld.prev_cap = keycap;
    if (ld.prev == nullptr || !buf_init(&ld.key, keycap)) {
      call_failed("malloc", ENOMEM);
      goto out;
    }
  }

  while (hr == HeaderRead::kHeader && !(rd.plain && rd.eof)) {
    if (!load_section(&ld)) goto out;
    if (rd.eof) break;
    if (!rd.plain && (hr = read_header(&rd)) == HeaderRead::kError) goto out;
  }
  status = EXIT_SUCCESS;

out:
  progress.clear();
  g_progress = nullptr;
  orv_txn_abort(ld.txn);
  orv_env_close(ld.env);
  buf_free(&ld.key);
  buf_free(&rd.line);
  std::free(ld.prev);
  std::free(rd.dbname);
  return status;
}
#endif  // ORV_LOAD_NO_MAIN
