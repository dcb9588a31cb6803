// Damaging a data file on purpose, one page at a time:
//
//   edit_file_pages(dir.file("data.orv"), psize, {root}, [](ORV_page *mp) { ... });
//
// reads each page into a buffer, hands it to edit and writes it back. The
// environment must be closed meanwhile, so that the next open reads the
// edited bytes.
#ifndef ORV_TESTS_UTIL_PAGE_EDIT_H
#define ORV_TESTS_UTIL_PAGE_EDIT_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "page/page.h"

namespace orv_test {

inline void edit_file_pages(const std::string &file, size_t psize, const std::vector<pgno_t> &pgnos,
                            const std::function<void(ORV_page *)> &edit) {
  const int fd = ::open(file.c_str(), O_RDWR);
  ASSERT_GE(fd, 0) << file;
  std::vector<unsigned char> page(psize);
  for (pgno_t pgno : pgnos) {
    const off_t at = static_cast<off_t>(pgno * psize);
    EXPECT_EQ(::pread(fd, page.data(), psize, at), static_cast<ssize_t>(psize)) << "page " << pgno;
    edit(reinterpret_cast<ORV_page *>(page.data()));
    EXPECT_EQ(::pwrite(fd, page.data(), psize, at), static_cast<ssize_t>(psize)) << "page " << pgno;
  }
  ::close(fd);
}

}  // namespace orv_test

#endif  // ORV_TESTS_UTIL_PAGE_EDIT_H
