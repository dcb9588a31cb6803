// [compare]: lib/page/compare.cc — the built-in comparators and their choice
// by database flags.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "page/page.h"

namespace {

// Copies bytes into a heap block of exactly their size, so that a
// comparator reading past a value trips the address sanitizer.
class Val {
 public:
  explicit Val(std::vector<uint8_t> bytes) : size_(bytes.size()) {
    if (size_) {
      data_.reset(static_cast<uint8_t *>(std::malloc(size_)));
      std::memcpy(data_.get(), bytes.data(), size_);
    }
  }
  template <typename T>
  static Val of(T v) {
    std::vector<uint8_t> b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    return Val(b);
  }
  ORV_val val() const { return ORV_val{size_, data_.get()}; }

 private:
  struct Free {
    void operator()(uint8_t *p) const { std::free(p); }
  };
  size_t size_;
  std::unique_ptr<uint8_t, Free> data_;
};

int sign(int v) { return (v > 0) - (v < 0); }

struct Case {
  std::vector<uint8_t> a, b;
  int expected;  // sign of cmp(a, b)
};

// Runs cmp over the table both ways: cmp(b, a) must have the opposite sign.
void check_table(ORV_cmp_func cmp, const std::vector<Case> &cases) {
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(::testing::Message() << "case " << i);
    Val a(cases[i].a), b(cases[i].b);
    ORV_val va = a.val(), vb = b.val();
    EXPECT_EQ(sign(cmp(&va, &vb)), cases[i].expected);
    EXPECT_EQ(sign(cmp(&vb, &va)), -cases[i].expected);
  }
}

TEST(CmpBytes, MemcmpOrderThenLength) {
  check_table(orv_cmp_bytes, {
                                 {{0x61, 0x62}, {0x61, 0x62, 0x63}, -1},
                                 {{0x61, 0x62, 0x63}, {0x61, 0x62, 0x64}, -1},
                                 {{}, {0x00}, -1},  // empty sorts first
                                 {{}, {}, 0},
                                 {{0x61, 0x62}, {0x61, 0x62}, 0},
                                 {{0x80}, {0x7F, 0xFF}, 1},  // bytes are unsigned
                                 {{0x00, 0xFF}, {0x01}, -1},
                             });
}

TEST(CmpBytesReverse, LastBytesDecide) {
  check_table(orv_cmp_bytes_reverse, {
                                         {{0x62, 0x61}, {0x61, 0x62}, -1},
                                         {{0x62}, {0x61, 0x62}, -1},  // equal ends, shorter first
                                         {{0x61, 0x79}, {0x62, 0x78}, 1},
                                         {{}, {0x01}, -1},
                                         {{}, {}, 0},
                                         {{0x01, 0x02, 0x03}, {0x09, 0x02, 0x03}, -1},
                                         {{0xFF}, {0x01}, 1},
                                     });
  // The first difference is returned as a byte difference.
  Val a({0x61, 0x79}), b({0x62, 0x78});
  ORV_val va = a.val(), vb = b.val();
  EXPECT_EQ(orv_cmp_bytes_reverse(&va, &vb), 1);
  Val c({0x10}), d({0x20, 0x30});
  ORV_val vc = c.val(), vd = d.val();
  EXPECT_EQ(orv_cmp_bytes_reverse(&vc, &vd), 0x10 - 0x30);
}

TEST(CmpUint32, NumericNotBytewise) {
  const std::pair<uint32_t, uint32_t> pairs[] = {
      {1, 2}, {255, 256}, {65535, 65536}, {0x01000000, 0x000000FF}, {0, UINT32_MAX}, {7, 7}};
  for (auto [x, y] : pairs) {
    SCOPED_TRACE(::testing::Message() << x << " vs " << y);
    Val a = Val::of(x), b = Val::of(y);
    ORV_val va = a.val(), vb = b.val();
    const int expected = x < y ? -1 : x > y ? 1 : 0;
    EXPECT_EQ(orv_cmp_uint32(&va, &vb), expected);
    EXPECT_EQ(orv_cmp_uint32(&vb, &va), -expected);
  }
}

TEST(CmpUint64, NumericNotBytewise) {
  const std::pair<uint64_t, uint64_t> pairs[] = {{1, 2},
                                                 {0xFFFFFFFF, 0x100000000},
                                                 {0x0100000000000000, 0xFF},
                                                 {0, UINT64_MAX},
                                                 {1ull << 40, 1ull << 40}};
  for (auto [x, y] : pairs) {
    SCOPED_TRACE(::testing::Message() << x << " vs " << y);
    Val a = Val::of(x), b = Val::of(y);
    ORV_val va = a.val(), vb = b.val();
    const int expected = x < y ? -1 : x > y ? 1 : 0;
    EXPECT_EQ(orv_cmp_uint64(&va, &vb), expected);
    EXPECT_EQ(orv_cmp_uint64(&vb, &va), -expected);
  }
}

TEST(CmpUint32, EightByteValuesNeedTheWideComparator) {
  // Only the first 4 bytes count for the 32-bit comparator: the size switch
  // to the 64-bit one is what orders 8-byte duplicates numerically.
  Val a = Val::of(uint64_t{5} << 32), b = Val::of(uint64_t{1});
  ORV_val va = a.val(), vb = b.val();
  EXPECT_LT(orv_cmp_uint32(&va, &vb), 0);
  EXPECT_GT(orv_cmp_uint64(&va, &vb), 0);
}

TEST(CmpUint, ShortValuesReadOnlyTheirOwnBytes) {
  // A value shorter than the integer counts as zero-extended.
  Val one({0x01}), two = Val::of(uint32_t{2}), big = Val::of(uint64_t{1} << 32), empty({});
  ORV_val v1 = one.val(), v2 = two.val(), vb = big.val(), ve = empty.val();
  EXPECT_LT(orv_cmp_uint32(&v1, &v2), 0);
  EXPECT_EQ(orv_cmp_uint32(&ve, &ve), 0);
  EXPECT_LT(orv_cmp_uint64(&v2, &vb), 0);
  EXPECT_LT(orv_cmp_uint64(&ve, &v1), 0);
}

TEST(CmpUintWords, NativeIntegersOfAnyEvenSize) {
  struct WordCase {
    uint64_t x, y;
    size_t size;
  };
  for (const auto &c : {WordCase{65535, 65536, 4}, WordCase{65536, 65535, 4}, WordCase{9, 9, 4},
                        WordCase{1, 0x10000000000, 6}, WordCase{0xFFFF, 0x10000, 2},
                        WordCase{0x0102030405060708, 0x0102030405060709, 8},
                        WordCase{0x0000FFFFFFFFFFFF, 0x0001000000000000, 8}}) {
    SCOPED_TRACE(::testing::Message() << c.x << " vs " << c.y << " in " << c.size);
    std::vector<uint8_t> bx(c.size), by(c.size);
    std::memcpy(bx.data(), &c.x, c.size);
    std::memcpy(by.data(), &c.y, c.size);
    Val a(bx), b(by);
    ORV_val va = a.val(), vb = b.val();
    const uint64_t mask = c.size == 8 ? UINT64_MAX : (uint64_t{1} << (8 * c.size)) - 1;
    const uint64_t x = c.x & mask, y = c.y & mask;
    const int expected = x < y ? -1 : x > y ? 1 : 0;
    EXPECT_EQ(sign(orv_cmp_uint_words(&va, &vb)), expected);
    EXPECT_EQ(sign(orv_cmp_uint_words(&vb, &va)), -expected);
  }
}

TEST(CmpUintWords, ReturnsWordDifferenceOverFirstLength) {
  // 65536 vs 65535: the high words are 1 and 0.
  Val a = Val::of(uint32_t{65536}), b = Val::of(uint32_t{65535});
  ORV_val va = a.val(), vb = b.val();
  EXPECT_EQ(orv_cmp_uint_words(&va, &vb), 1);
  // With a 6-byte first value, 6 bytes of both values are compared and the
  // second value's remaining bytes are ignored.
  Val six({1, 0, 0, 0, 2, 0}), eight({1, 0, 0, 0, 2, 0, 9, 9});
  ORV_val v6 = six.val(), v8 = eight.val();
  EXPECT_EQ(orv_cmp_uint_words(&v6, &v8), 0);
  Val eight_hi({1, 0, 0, 0, 3, 0, 0, 0});
  ORV_val vh = eight_hi.val();
  EXPECT_EQ(orv_cmp_uint_words(&v6, &vh), 2 - 3);
  EXPECT_EQ(orv_cmp_uint_words(&vh, &v6), 3 - 2);  // missing high bytes of v6 read as 0
}

TEST(CmpUintWords, OddOrShortSecondValueStaysInBounds) {
  Val three({0x01, 0x00, 0x02}), two({0x01, 0x00}), eight = Val::of(uint64_t{1});
  ORV_val v3 = three.val(), v2 = two.val(), v8 = eight.val();
  EXPECT_GT(orv_cmp_uint_words(&v3, &v2), 0);  // 0x020001 vs 0x0001
  EXPECT_EQ(orv_cmp_uint_words(&v8, &v2), 0);  // 1 vs 1 (zero-extended)
  EXPECT_EQ(orv_cmp_uint_words(&v2, &v8), 0);
}

// ---- Choice by flags -------------------------------------------------------------

TEST(DefaultCmp, KeyComparatorByFlags) {
  struct FlagCase {
    unsigned flags;
    ORV_cmp_func cmp;
  };
  const FlagCase cases[] = {
      {0, orv_cmp_bytes},
      {ORV_REVERSEKEY, orv_cmp_bytes_reverse},
      {ORV_INTEGERKEY, orv_cmp_uint_words},
      {ORV_REVERSEKEY | ORV_INTEGERKEY, orv_cmp_bytes_reverse},
      {ORV_DUPSORT | ORV_INTEGERDUP | ORV_REVERSEDUP | ORV_DUPFIXED, orv_cmp_bytes},
      {ORV_COUNTED | ORV_PREFIXKEY, orv_cmp_bytes},
      {ORV_INTEGERKEY | ORV_DUPSORT | ORV_REVERSEDUP, orv_cmp_uint_words},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.flags);
    EXPECT_EQ(orv_default_key_cmp(c.flags), c.cmp);
  }
}

TEST(DefaultCmp, DupComparatorByFlags) {
  struct FlagCase {
    unsigned flags;
    ORV_cmp_func cmp;
  };
  const unsigned D = ORV_DUPSORT;
  const FlagCase cases[] = {
      {0, nullptr},
      {ORV_INTEGERDUP | ORV_DUPFIXED | ORV_REVERSEDUP, nullptr},  // no DUPSORT: none
      {D, orv_cmp_bytes},
      {D | ORV_DUPFIXED, orv_cmp_bytes},
      {D | ORV_REVERSEDUP, orv_cmp_bytes_reverse},
      {D | ORV_REVERSEDUP | ORV_DUPFIXED, orv_cmp_bytes_reverse},
      {D | ORV_INTEGERDUP, orv_cmp_uint_words},
      {D | ORV_INTEGERDUP | ORV_REVERSEDUP, orv_cmp_uint_words},
      {D | ORV_INTEGERDUP | ORV_DUPFIXED, orv_cmp_uint32},
      {D | ORV_INTEGERDUP | ORV_DUPFIXED | ORV_REVERSEDUP, orv_cmp_uint32},
      {D | ORV_REVERSEKEY | ORV_INTEGERKEY, orv_cmp_bytes},  // key flags do not matter
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.flags);
    EXPECT_EQ(orv_default_dup_cmp(c.flags), c.cmp);
  }
}

TEST(DefaultCmp, CountedAndPrefixFlagsNeverChangeTheChoice) {
  for (unsigned flags = 0; flags < 0x80; flags += 2) {  // every combination of 0x02..0x40
    SCOPED_TRACE(flags);
    for (unsigned extra : {ORV_COUNTED, ORV_PREFIXKEY, ORV_COUNTED | ORV_PREFIXKEY}) {
      EXPECT_EQ(orv_default_key_cmp(flags | extra), orv_default_key_cmp(flags));
      EXPECT_EQ(orv_default_dup_cmp(flags | extra), orv_default_dup_cmp(flags));
    }
    EXPECT_EQ(orv_default_dup_cmp(flags) == nullptr, !(flags & ORV_DUPSORT));
    EXPECT_NE(orv_default_key_cmp(flags), nullptr);
  }
}

}  // namespace
