// TempDir: a fresh directory under $TMPDIR (or /tmp), removed with all its
// contents when the object goes out of scope.
//
//   TempDir dir;
//   std::string data = dir.file("data.orv");
#ifndef ORV_TESTS_UTIL_TEMPDIR_H
#define ORV_TESTS_UTIL_TEMPDIR_H

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

class TempDir {
 public:
  TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/orv-test-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    path_ = tmpl;
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  ~TempDir() {
    std::error_code ec;
    // Tests may leave read-only entries behind; restore write permission so
    // that removal succeeds.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }

  const std::string &path() const { return path_; }
  const char *c_str() const { return path_.c_str(); }
  // Path of an entry of the directory.
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

#endif  // ORV_TESTS_UTIL_TEMPDIR_H
