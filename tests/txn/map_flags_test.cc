// [map_flags]: under a write map, the in-memory page flags (P_DIRTY,
// P_LOOSE, P_KEEP) live in the mapped file itself. A writer that ends
// leaves none of them on any page: P_DIRTY on a mapped page means "held by
// the running writer", which the page allocator relies on when it checks
// reused pages against the writer's own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "env/env.h"
#include "util/fixtures.h"

namespace {

using namespace orv_test;

class MapFlags : public EnvFixture {
 protected:
  void SetUp() override {
    ASSERT_EQ(orv_env_create(&env_), 0);
    ASSERT_EQ(orv_env_set_mapsize(env_, size_t{16} << 20), 0);
    ASSERT_EQ(orv_env_open(env_, dir_.c_str(), ORV_NOTLS | ORV_WRITEMAP, 0644), 0);
  }

  void put_all(ORV_txn *txn, int n, char fill) {
    for (int i = 0; i < n; i++) {
      const std::string k = "key" + std::to_string(i * 7919 % n);
      const std::string v(100, fill);
      ORV_val kv = val(k), dv = val(v);
      ASSERT_EQ(orv_put(txn, MAIN_DBI, &kv, &dv, 0), 0);
    }
  }

  // Pages of the data file (every page the map holds bytes for) that carry
  // an in-memory flag.
  std::vector<pgno_t> marked_pages() {
    struct stat st {};
    EXPECT_EQ(::stat(dir_.file("data.orv").c_str(), &st), 0);
    const size_t psize = env_->me_psize;
    std::vector<pgno_t> out;
    for (pgno_t pg = NUM_METAS; (pg + 1) * psize <= size_t(st.st_size); pg++) {
      const auto *mp = reinterpret_cast<const ORV_page *>(env_->me_map + pg * psize);
      if (mp->mp_flags & ~P_WRITE_MASK) out.push_back(pg);
    }
    return out;
  }
};

// Each case ends a writer that has taken pages: reused ones from the
// free-page records and new ones past the last page in use.
TEST_F(MapFlags, NoPageKeepsAWritersMarksAfterItEnds) {
  constexpr int kKeys = 2000;
  for (char round = 'a'; round < 'd'; round++) {
    ORV_txn *txn = begin();
    put_all(txn, kKeys, round);
    ASSERT_EQ(orv_txn_commit(txn), 0);
  }
  ASSERT_EQ(marked_pages(), std::vector<pgno_t>{});

  struct Case {
    const char *name;
    bool commit;
  } cases[] = {{"abort after rewriting every value", false},
               {"commit that deletes what it wrote (loose pages)", true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ORV_txn *txn = begin();
    put_all(txn, kKeys, 'z');
    if (c.commit) {
      for (int i = 0; i < kKeys; i += 2) {
        const std::string k = "key" + std::to_string(i);
        ORV_val kv = val(k);
        ASSERT_EQ(orv_del(txn, MAIN_DBI, &kv, nullptr), 0);
      }
      ASSERT_EQ(orv_txn_commit(txn), 0);
    } else {
      orv_txn_abort(txn);
    }
    EXPECT_EQ(marked_pages(), std::vector<pgno_t>{});
  }
}

}  // namespace
