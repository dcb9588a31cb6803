// Quick start in C++: create (or reopen) an environment in
// ./quickstart-cpp-env, fill a named counted database in one transaction,
// read it back with a range-for loop, look up a key, ask for the entry at a
// rank, the rank of a key and the size of a key range (answered from the
// counts kept in the tree, without a walk), and undo a change with a nested
// transaction. Errors arrive as eldran::error exceptions.
//
// Built as `quickstart_cpp`; run it from any directory you may write in.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <string>

#include "eldran.hpp"

int main() try {
  const std::string dir = "./quickstart-cpp-env";
  std::cout << orv_version(nullptr, nullptr, nullptr) << '\n';
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) throw eldran::error(errno, "mkdir");

  // The environment is closed when `env` goes out of scope.
  eldran::env env(dir, {.mapsize = 10u << 20, .maxdbs = 4});
  std::cout << "Opened " << dir << '\n';

  eldran::dbi fruit;
  {
    eldran::txn w = env.begin_write();
    fruit = w.open_dbi("fruit", eldran::db_flags::create | eldran::db_flags::counted);
    const char *const names[] = {"apple",      "banana", "cherry", "damson",
                                 "elderberry", "fig",    "grape",  "honeydew"};
    int crates = 3;
    for (const char *name : names) {
      w.put(fruit, name, std::to_string(crates) + " crates");
      crates += 3;
    }
    // A write with no_overwrite leaves an existing key alone.
    if (!w.put(fruit, "apple", "none left", eldran::put_flags::no_overwrite))
      std::cout << "apple was already there\n";
    w.commit();  // durable and visible to readers from here on
  }              // a transaction not committed would be aborted here

  {
    eldran::txn r = env.begin_read();
    std::cout << "Contents of \"fruit\":\n";
    // Keys and values are string views into the map: no copies.
    for (auto [key, value] : r.scan(fruit)) std::cout << "  " << key << ": " << value << '\n';

    if (auto v = r.get(fruit, "cherry")) std::cout << "cherry: " << *v << '\n';
    if (!r.get(fruit, "kiwi")) std::cout << "no kiwi\n";

    std::cout << "Counting in \"fruit\":\n";
    if (auto e = r.at_rank(fruit, 2))
      std::cout << "  Entry at rank 2: " << e->key << ": " << e->value << '\n';
    if (auto rank = r.rank_of(fruit, "fig")) std::cout << "  Rank of fig: " << *rank << '\n';
    // Keys from "b" up to but not including "f".
    std::cout << "  Keys in [b, f): " << r.count(fruit, eldran::key_range::half_open("b", "f"))
              << '\n';
    std::cout << "  Keys in [b, f) again, by a scan:";
    for (auto e : r.scan(fruit, eldran::key_range::half_open("b", "f"))) std::cout << ' ' << e.key;
    std::cout << '\n';
  }

  {
    // A nested transaction tries a change and throws it away.
    eldran::txn w = env.begin_write();
    {
      eldran::txn child = w.begin_nested();
      child.del(fruit, "banana");
      std::cout << "Inside the child: " << child.count(fruit) << " entries\n";
    }  // aborted
    std::cout << "After the child: " << w.count(fruit) << " entries\n";
  }

  const ORV_stat st = env.stat();
  std::cout << "Main database (holds the names of the named databases): " << st.ms_entries
            << " entries\n";
  return 0;
} catch (const eldran::error &e) {
  std::fprintf(stderr, "%s (error %d)\n", e.what(), e.code());
  return 1;
}
