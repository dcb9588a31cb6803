// Writes the seed corpus of the fuzz targets:
//   <dir>/fuzz_env_file/    data files of small valid stores of each kind
//   <dir>/fuzz_lock_file/   lock files with and without active readers
//   <dir>/fuzz_prefix_key/  compressed keys and prefix leaf pages
//   <dir>/fuzz_load_text/   dump text in each format, and plain text
// Usage: orv_fuzz_seeds <dir>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "orv.h"

namespace {

namespace fs = std::filesystem;

void check(int rc, const char *what) {
  if (rc != 0) {
    std::fprintf(stderr, "orv_fuzz_seeds: %s failed, error %d %s\n", what, rc, orv_strerror(rc));
    std::exit(1);
  }
}

std::string read_file(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_seed(const fs::path &p, const std::string &bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "orv_fuzz_seeds: cannot write %s\n", p.c_str());
    std::exit(1);
  }
}

ORV_val val(const std::string &s) { return ORV_val{s.size(), const_cast<char *>(s.data())}; }

std::string key(const char *fmt, int i) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, i);
  return buf;
}

// Set when a put was refused as ORV_INCOMPATIBLE: a kind of store the
// library cannot write yet (sorted duplicates); its seed is left out.
bool g_unsupported = false;

void put(ORV_txn *txn, ORV_dbi dbi, const std::string &k, const std::string &v) {
  ORV_val kv = val(k), vv = val(v);
  int rc = orv_put(txn, dbi, &kv, &vv, 0);
  if (rc == ORV_INCOMPATIBLE) {
    g_unsupported = true;
    return;
  }
  check(rc, "orv_put");
}

ORV_dbi open_db(ORV_txn *txn, const char *name, unsigned flags) {
  ORV_dbi dbi = 0;
  check(orv_dbi_open(txn, name, flags | ORV_CREATE, &dbi), "orv_dbi_open");
  return dbi;
}

// Builds a store in a fresh file with fill (one write transaction each)
// and returns its data file's bytes, or nothing when the library cannot
// write such a store.
std::string make_store(const fs::path &work, const std::string &name,
                       const std::vector<std::function<void(ORV_txn *)>> &commits) {
  const fs::path path = work / (name + ".orv");
  ORV_env *env = nullptr;
  check(orv_env_create(&env), "orv_env_create");
  check(orv_env_set_maxdbs(env, 8), "orv_env_set_maxdbs");
  check(orv_env_open(env, path.c_str(), ORV_NOSUBDIR | ORV_NOLOCK, 0644), "orv_env_open");
  for (const auto &fill : commits) {
    ORV_txn *txn = nullptr;
    check(orv_txn_begin(env, nullptr, 0, &txn), "orv_txn_begin");
    g_unsupported = false;
    fill(txn);
    if (g_unsupported) {
      std::fprintf(stderr, "orv_fuzz_seeds: %s left out (not supported yet)\n", name.c_str());
      orv_txn_abort(txn);
      orv_env_close(env);
      return {};
    }
    check(orv_txn_commit(txn), "orv_txn_commit");
  }
  orv_env_close(env);
  return read_file(path);
}

void env_seeds(const fs::path &work, const fs::path &out) {
  struct Seed {
    const char *name;
    std::vector<std::function<void(ORV_txn *)>> commits;
  };
  const Seed seeds[] = {
      {"empty", {}},
      {"plain", {[](ORV_txn *t) {
         for (int i = 0; i < 60; i++) put(t, 1, key("key%04d", i), key("value-%d", i));
       }}},
      {"counted", {[](ORV_txn *t) {
         ORV_dbi d = open_db(t, "counted", ORV_COUNTED);
         for (int i = 0; i < 400; i++) put(t, d, key("c%05d", i), key("v%d", i));
       }}},
      {"prefix", {[](ORV_txn *t) {
         ORV_dbi d = open_db(t, "prefix", ORV_PREFIXKEY | ORV_COUNTED);
         for (int i = 0; i < 400; i++) put(t, d, key("user/profile/%05d", i * 7), key("p%d", i));
       }}},
      {"intkey", {[](ORV_txn *t) {
         ORV_dbi d = open_db(t, "ints", ORV_INTEGERKEY);
         for (uint32_t i = 0; i < 200; i++) {
           uint32_t k = i * 977;
           put(t, d, std::string(reinterpret_cast<char *>(&k), sizeof k), key("i%d", int(i)));
         }
       }}},
      {"dupsort", {[](ORV_txn *t) {
         ORV_dbi d = open_db(t, "dups", ORV_DUPSORT | ORV_COUNTED);
         for (int i = 0; i < 8; i++)
           for (int j = 0; j < 3; j++) put(t, d, key("k%d", i), key("dup%03d", j));
         for (int j = 0; j < 500; j++) put(t, d, "many", key("dup%05d", j));
         ORV_dbi f = open_db(t, "fixed", ORV_DUPSORT | ORV_DUPFIXED | ORV_PREFIXKEY);
         for (int j = 0; j < 40; j++) put(t, f, key("f%d", j % 3), key("%08d", j));
       }}},
      {"dupfixed-counted", {[](ORV_txn *t) {
         // Fixed-size values on sub-pages and, for "wide", in a value tree
         // of P_LEAF2 pages; every count kept.
         ORV_dbi f = open_db(t, "fixed", ORV_DUPSORT | ORV_DUPFIXED | ORV_COUNTED);
         for (int j = 0; j < 30; j++) put(t, f, key("f%d", j % 5), key("%08d", j));
         for (int j = 0; j < 1200; j++) put(t, f, "wide", key("%08d", j));
       }}},
      {"overflow", {[](ORV_txn *t) {
         put(t, 1, "small", "x");
         put(t, 1, "big1", std::string(5000, 'a'));
         put(t, 1, "big2", std::string(9000, 'b'));
       }}},
      {"named",
       {[](ORV_txn *t) {
          for (const char *n : {"alpha", "beta", "gamma"}) {
            ORV_dbi d = open_db(t, n, 0);
            for (int i = 0; i < 30; i++) put(t, d, key("%03d", i), n);
          }
        },
        [](ORV_txn *t) {
          // A second commit that frees pages: the free-page database has
          // records too.
          ORV_dbi d = open_db(t, "beta", 0);
          for (int i = 0; i < 30; i += 2) {
            const std::string name = key("%03d", i);
            ORV_val k = val(name);
            check(orv_del(t, d, &k, nullptr), "orv_del");
          }
          put(t, 1, "after", "second commit");
        }}},
  };
  fs::create_directories(out);
  for (const Seed &s : seeds) {
    const std::string bytes = make_store(work, s.name, s.commits);
    if (!bytes.empty()) write_seed(out / s.name, bytes);
  }
}

// Lock files: idle, with one reader of a thread, with several readers of
// transactions (ORV_NOTLS), one of them between snapshots.
void lock_seeds(const fs::path &work, const fs::path &out) {
  fs::create_directories(out);
  struct Seed {
    const char *name;
    unsigned flags;
    int readers;
  };
  for (const Seed &s :
       {Seed{"idle", 0, 0}, Seed{"one-reader", 0, 1}, Seed{"notls", ORV_NOTLS, 3}}) {
    const fs::path path = work / (std::string("lock-") + s.name + ".orv");
    ORV_env *env = nullptr;
    check(orv_env_create(&env), "orv_env_create");
    check(orv_env_set_maxreaders(env, 8), "orv_env_set_maxreaders");
    check(orv_env_open(env, path.c_str(), ORV_NOSUBDIR | s.flags, 0644), "orv_env_open");
    ORV_txn *txn = nullptr;
    check(orv_txn_begin(env, nullptr, 0, &txn), "orv_txn_begin");
    put(txn, 1, "k", "v");
    check(orv_txn_commit(txn), "orv_txn_commit");
    std::vector<ORV_txn *> readers;
    for (int i = 0; i < s.readers; i++) {
      ORV_txn *r = nullptr;
      check(orv_txn_begin(env, nullptr, ORV_RDONLY, &r), "orv_txn_begin");
      readers.push_back(r);
    }
    if (readers.size() > 1) orv_txn_reset(readers.back());
    write_seed(out / s.name, read_file(path.string() + "-lock"));
    for (ORV_txn *r : readers) orv_txn_abort(r);
    orv_env_close(env);
  }
}

// Prefix-key inputs: mode byte 0, the first key's length, the first key,
// the stored bytes; or mode byte 1 and a whole page.
void prefix_seeds(const std::string &prefix_store, const fs::path &out) {
  fs::create_directories(out);
  struct Key {
    const char *name;
    std::string first, stored;
  };
  const Key keys[] = {
      {"abd", "abc", "\x02\x64"},
      {"abcz", "abc", "\x03\x7a"},
      {"xyz", "abc", std::string("\x00xyz", 4)},
      {"ab", "abc", "\x02"},
      {"not-maximal", "abc", "\x01\x62"},
      {"not-minimal", "abc", std::string("\x80\x02", 2)},
      {"open-varint", "abc", std::string("\x80\x80", 2)},
      {"shared-200", std::string(200, 'q'), std::string("\x81\x48zz", 4)},
  };
  for (const Key &k : keys) {
    std::string in(1, '\0');
    in.push_back(static_cast<char>(k.first.size()));
    write_seed(out / (std::string("key-") + k.name), in + k.first + k.stored);
  }
  // Leaf pages of the prefix-compressed store.
  const size_t psize = 4096;
  int n = 0;
  for (size_t off = 2 * psize; off + psize <= prefix_store.size() && n < 4; off += psize) {
    uint16_t flags;
    std::memcpy(&flags, prefix_store.data() + off + 10, sizeof flags);
    if ((flags & 0x02) == 0 || (flags & 0x20) != 0) continue;  // P_LEAF, not P_LEAF2
    write_seed(out / ("page-" + std::to_string(n++)), "\x01" + prefix_store.substr(off, psize));
  }
}

// Dump text: mode byte (bit 0: plain text, as under -T), then the text.
void load_text_seeds(const fs::path &out) {
  fs::create_directories(out);
  const std::string header = "VERSION=3\nformat=bytevalue\ntype=btree\nmapsize=1048576\n";
  struct Seed {
    const char *name;
    std::string text;
  };
  const Seed seeds[] = {
      {"bytevalue", "\x00" + header + "HEADER=END\n 6b6579\n 76616c7565\nDATA=END\n"},
      {"print",
       "\x00VERSION=3\nformat=print\ntype=btree\ndupsort=1\ndb_pagesize=4096\nHEADER=END\n"
       " a\\5cb\n x\\\\y\n k2\n \nDATA=END\n"},
      {"two-sections", "\x00" + header + "database=one\nHEADER=END\n 61\n 62\nDATA=END\n" + header +
                           "database=two\nintegerkey=1\nHEADER=END\n 0100000000000000\n"
                           " 00\nDATA=END\n"},
      {"long-line",
       "\x00" + header + "HEADER=END\n " + std::string(9000, 'a') + "\n 6161\nDATA=END\n"},
      {"plain", "\x01key\nvalue\na\\5cb\n\\00\\ff\n"},
      {"bad-escape", "\x01key\nva\\q\n"},
      {"unknown-keyword", "\x00VERSION=1\nduplicates=1\nHEADER=END\n 61\n 6\nDATA=END\n"},
  };
  for (const Seed &s : seeds) write_seed(out / s.name, s.text);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: orv_fuzz_seeds <corpus dir>\n");
    return 1;
  }
  const fs::path out = argv[1];
  const fs::path work = out / "work";
  fs::remove_all(work);
  fs::create_directories(work);
  env_seeds(work, out / "fuzz_env_file");
  lock_seeds(work, out / "fuzz_lock_file");
  prefix_seeds(read_file(out / "fuzz_env_file" / "prefix"), out / "fuzz_prefix_key");
  load_text_seeds(out / "fuzz_load_text");
  fs::remove_all(work);
  return 0;
}
