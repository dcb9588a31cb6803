// [prefix_key]: lib/page/prefix_key.cc — varints and the prefix-compressed
// key form: encoding, decoding, the canonical-form check and corrupt input.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "page/page.h"
#include "util/prefix_keys.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const std::string &s) { return Bytes(s.begin(), s.end()); }
ORV_val val_of(const std::string &s) { return ORV_val{s.size(), const_cast<char *>(s.data())}; }

// A heap block of exactly the stored size, so that reading past the stored
// bytes trips the address sanitizer.
struct Exact {
  explicit Exact(const Bytes &b)
      : size(b.size()), data(static_cast<uint8_t *>(std::malloc(b.empty() ? 1 : b.size()))) {
    if (size) std::memcpy(data.get(), b.data(), size);
  }
  struct Free {
    void operator()(uint8_t *p) const { std::free(p); }
  };
  size_t size;
  std::unique_ptr<uint8_t, Free> data;
};

// n continuation bytes, then a last byte.
Bytes continued(size_t n, uint8_t last) {
  Bytes b(n, 0x80);
  b.push_back(last);
  return b;
}

// ---- Varints -----------------------------------------------------------------

TEST(Varint, EncodingsAtGroupBoundaries) {
  struct Case {
    uint64_t v;
    Bytes enc;
  };
  const Case cases[] = {
      {0, {0x00}},
      {1, {0x01}},
      {127, {0x7F}},
      {128, {0x81, 0x00}},
      {200, {0x81, 0x48}},
      {511, {0x83, 0x7F}},
      {16383, {0xFF, 0x7F}},
      {16384, {0x81, 0x80, 0x00}},
      {(uint64_t{1} << 63) - 1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
      {uint64_t{1} << 63, {0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}},
      {UINT64_MAX, {0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.v);
    uint8_t out[ORV_VARINT_MAX + 1];
    std::memset(out, 0xEE, sizeof out);
    const unsigned n = orv_varint_encode(c.v, out);
    ASSERT_EQ(n, c.enc.size());
    EXPECT_EQ(Bytes(out, out + n), c.enc);
    EXPECT_EQ(out[n], 0xEE);  // nothing written past the varint
    EXPECT_EQ(orv_varint_size(c.v), n);

    Exact in(c.enc);
    uint64_t v = 12345;
    const unsigned read = orv_varint_decode(in.data.get(), in.data.get() + in.size, &v);
    if (c.enc.size() <= ORV_VARINT_READ_MAX) {
      EXPECT_EQ(read, n);
      EXPECT_EQ(v, c.v);
    } else {
      EXPECT_EQ(read, 0u);  // readers stop after 9 bytes
    }
  }
}

TEST(Varint, DecodeStopsAtEndAndAtNineBytes) {
  struct Case {
    Bytes in;
    unsigned len;
    uint64_t v;
  };
  const Case cases[] = {
      {{}, 0, 0},
      {{0x80}, 0, 0},  // never ends
      {{0x80, 0x80}, 0, 0},
      {{0x81, 0x00, 0xFF}, 2, 128},  // trailing bytes are not read
      {{0x80, 0x02}, 2, 2},          // non-minimal, still readable
      {Bytes(9, 0x80), 0, 0},
      {continued(8, 0x01), 9, 1},
      {continued(9, 0x01), 0, 0},  // the 10th byte is not taken
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    Exact in(cases[i].in);
    uint64_t v = 0;
    EXPECT_EQ(orv_varint_decode(in.data.get(), in.data.get() + in.size, &v), cases[i].len);
    if (cases[i].len) {
      EXPECT_EQ(v, cases[i].v);
    }
  }
}

TEST(Varint, RoundTripsRandomValues) {
  std::mt19937_64 rng(3);
  for (int i = 0; i < 10000; ++i) {
    const uint64_t v = rng() >> (rng() % 63 + 1);  // every magnitude below 2^63
    uint8_t buf[ORV_VARINT_MAX];
    const unsigned n = orv_varint_encode(v, buf);
    uint64_t back = 0;
    ASSERT_EQ(orv_varint_decode(buf, buf + n, &back), n);
    ASSERT_EQ(back, v);
  }
}

// ---- Encoding ------------------------------------------------------------------

TEST(PrefixKey, WriteAgainstFirstKey) {
  struct Case {
    std::string key;
    Bytes stored;
    size_t shared;
  };
  const Case cases[] = {
      {"abd", {0x02, 'd'}, 2}, {"abcz", {0x03, 'z'}, 3}, {"xyz", {0x00, 'x', 'y', 'z'}, 0},
      {"ab", {0x02}, 2},       {"abc", {0x03}, 3},       {"a", {0x01}, 1},
  };
  const std::string first = "abc";
  const ORV_val f = val_of(first);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.key);
    const ORV_val k = val_of(c.key);
    uint8_t out[600];
    size_t shared = 99;
    const size_t n = orv_prefix_key_write(&f, &k, out, &shared);
    EXPECT_EQ(Bytes(out, out + n), c.stored);
    EXPECT_EQ(shared, c.shared);
    EXPECT_EQ(orv_prefix_key_size(c.key.size(), shared), n);
    // Encoding with a known prefix gives the same bytes.
    uint8_t again[600];
    ASSERT_EQ(orv_prefix_key_encode(&k, c.shared, again), n);
    EXPECT_EQ(std::memcmp(again, out, n), 0);
  }
}

TEST(PrefixKey, LongSharedPrefixTakesTwoVarintBytes) {
  const std::string first = std::string(200, 'p') + "AAA";
  const std::string key = std::string(200, 'p') + "BB";
  const ORV_val f = val_of(first), k = val_of(key);
  uint8_t out[600];
  const size_t n = orv_prefix_key_write(&f, &k, out, nullptr);
  EXPECT_EQ(Bytes(out, out + n), (Bytes{0x81, 0x48, 'B', 'B'}));
}

TEST(PrefixKey, EncodeCapsSharedAtKeySize) {
  const std::string key = "ab";
  const ORV_val k = val_of(key);
  uint8_t out[8];
  ASSERT_EQ(orv_prefix_key_encode(&k, 5, out), 1u);
  EXPECT_EQ(out[0], 0x02);
  EXPECT_EQ(orv_prefix_key_size(2, 5), 1u);
}

TEST(PrefixKey, WithoutFirstKeyTheKeyIsCopiedWhole) {
  const std::string key = "hello";
  const ORV_val k = val_of(key);
  const ORV_val no_data{3, nullptr};
  for (const ORV_val *first : {static_cast<const ORV_val *>(nullptr), &no_data}) {
    uint8_t out[16];
    size_t shared = 7;
    ASSERT_EQ(orv_prefix_key_write(first, &k, out, &shared), 5u);
    EXPECT_EQ(std::memcmp(out, "hello", 5), 0);
    EXPECT_EQ(shared, 0u);
  }
}

// ---- Decoding ----------------------------------------------------------------------

struct DecodeCase {
  const char *what;
  Bytes stored;
  int rc;
  Bytes key;       // decoded key when rc == 0
  bool canonical;  // orv_prefix_key_check
};

TEST(PrefixKey, DecodeAgainstFirstKeyTable) {
  const std::string first = "abc";
  const DecodeCase cases[] = {
      {"shared 2", {0x02, 'd'}, 0, bytes_of("abd"), true},
      {"shared 3 plus suffix", {0x03, 'z'}, 0, bytes_of("abcz"), true},
      {"nothing shared", {0x00, 'x', 'y', 'z'}, 0, bytes_of("xyz"), true},
      {"prefix only", {0x02}, 0, bytes_of("ab"), true},
      {"whole first key", {0x03}, 0, bytes_of("abc"), true},
      {"empty key", {0x00}, 0, {}, true},
      {"prefix not maximal", {0x01, 0x62}, 0, {0x01, 0x62}, false},
      {"suffix continues first key", {0x00, 'a', 'x'}, 0, {0x00, 'a', 'x'}, false},
      {"varint not minimal", {0x80, 0x02}, 0, {0x80, 0x02}, false},
      {"varint not minimal, 3 bytes", {0x80, 0x80, 0x01, 'q'}, 0, {0x80, 0x80, 0x01, 'q'}, false},
      {"prefix longer than first key", {0x04, 'x'}, 0, {0x04, 'x'}, false},
      {"huge prefix", {0xFF, 0xFF, 0x7F}, 0, {0xFF, 0xFF, 0x7F}, false},
      {"varint never ends", {0x80, 0x80}, ORV_CORRUPTED, {}, false},
      {"single continuation byte", {0x83}, ORV_CORRUPTED, {}, false},
      {"empty stored key", {}, ORV_CORRUPTED, {}, false},
      {"varint past nine bytes", Bytes(12, 0x80), ORV_CORRUPTED, {}, false},
  };
  const ORV_val f = val_of(first);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Exact in(c.stored);
    char buf[ORV_KEYBUF_MAX + 1];
    ORV_val out{0, nullptr};
    ASSERT_EQ(orv_prefix_key_decode(&f, in.data.get(), in.size, &out, buf, ORV_KEYBUF_MAX, nullptr),
              c.rc);
    if (c.rc == 0) {
      EXPECT_EQ(out.mv_data, buf);
      EXPECT_EQ(Bytes(buf, buf + out.mv_size), c.key);
    }
    ORV_prefix_info info{};
    EXPECT_EQ(orv_prefix_key_check(&f, in.data.get(), in.size, &info), c.canonical);
    if (c.canonical) {
      EXPECT_EQ(info.len, c.key.size());
      EXPECT_EQ(info.vlen, 1u);
    }
  }
}

TEST(PrefixKey, CheckReportsTwoByteVarint) {
  const std::string first = std::string(300, 'p');
  const std::string key = std::string(200, 'p') + "Z";
  const ORV_val f = val_of(first), k = val_of(key);
  uint8_t stored[600];
  const size_t n = orv_prefix_key_write(&f, &k, stored, nullptr);
  ORV_prefix_info info{};
  ASSERT_TRUE(orv_prefix_key_check(&f, stored, n, &info));
  EXPECT_EQ(info.shared, 200u);
  EXPECT_EQ(info.vlen, 2u);
  EXPECT_EQ(info.len, 201u);
  EXPECT_TRUE(orv_prefix_key_check(&f, stored, n, nullptr));
  EXPECT_FALSE(orv_prefix_key_check(nullptr, stored, n, &info));
}

TEST(PrefixKey, DecodedKeyMustFitCapacity) {
  const std::string first(400, 'f');
  const ORV_val f = val_of(first);
  std::vector<char> buf(1024);
  ORV_val out{};

  // 400 shared + 112 suffix = 512 bytes: one more than a key buffer holds.
  const std::string k512 = first + std::string(112, 'g');
  const std::string k511 = first + std::string(111, 'g');
  uint8_t stored[600];
  const ORV_val v512 = val_of(k512), v511 = val_of(k511);
  size_t n = orv_prefix_key_write(&f, &v512, stored, nullptr);
  EXPECT_EQ(orv_prefix_key_decode(&f, stored, n, &out, buf.data(), ORV_KEYBUF_MAX, nullptr),
            ORV_BAD_VALSIZE);
  EXPECT_EQ(orv_prefix_key_decode(&f, stored, n, &out, buf.data(), 512, nullptr), 0);
  EXPECT_EQ(out.mv_size, 512u);
  n = orv_prefix_key_write(&f, &v511, stored, nullptr);
  ASSERT_EQ(orv_prefix_key_decode(&f, stored, n, &out, buf.data(), ORV_KEYBUF_MAX, nullptr), 0);
  EXPECT_EQ(std::string(static_cast<char *>(out.mv_data), out.mv_size), k511);

  // A key read whole must fit as well: a non-minimal varint makes these
  // 600 stored bytes the key itself.
  Bytes noncanon(600, 'x');
  noncanon[0] = 0x80;
  noncanon[1] = 0x01;
  EXPECT_EQ(orv_prefix_key_decode(&f, noncanon.data(), noncanon.size(), &out, buf.data(),
                                  ORV_KEYBUF_MAX, nullptr),
            ORV_BAD_VALSIZE);
  EXPECT_EQ(orv_prefix_key_decode(nullptr, noncanon.data(), noncanon.size(), &out, buf.data(),
                                  ORV_KEYBUF_MAX, nullptr),
            ORV_BAD_VALSIZE);
}

TEST(PrefixKey, WithoutFirstKeyStoredBytesAreTheKey) {
  const Bytes stored = {0x02, 'd'};
  char buf[8];
  ORV_val out{};
  ASSERT_EQ(
      orv_prefix_key_decode(nullptr, stored.data(), stored.size(), &out, buf, sizeof buf, nullptr),
      0);
  EXPECT_EQ(Bytes(buf, buf + out.mv_size), stored);
  // Slot 0 may be empty only when it is read whole.
  ASSERT_EQ(orv_prefix_key_decode(nullptr, stored.data(), 0, &out, buf, sizeof buf, nullptr), 0);
  EXPECT_EQ(out.mv_size, 0u);
}

TEST(PrefixKey, HintReplacesReadingTheVarint) {
  const std::string first = "abcdef";
  const ORV_val f = val_of(first);
  const Bytes stored = {0x04, 'Z', 'Z'};
  char buf[16];
  ORV_val out{};
  const ORV_prefix_hint hint{4, 1};
  ASSERT_EQ(orv_prefix_key_decode(&f, stored.data(), stored.size(), &out, buf, sizeof buf, &hint),
            0);
  EXPECT_EQ(std::string(buf, out.mv_size), "abcdZZ");
  // A hint that does not fit the stored bytes reads them whole.
  const ORV_prefix_hint bad{4, 9};
  ASSERT_EQ(orv_prefix_key_decode(&f, stored.data(), stored.size(), &out, buf, sizeof buf, &bad),
            0);
  EXPECT_EQ(Bytes(buf, buf + out.mv_size), stored);
}

TEST(PrefixKey, FirstKeyMayLiveAtTheFrontOfTheBuffer) {
  // A cursor keeps slot 0's key in its buffer and decodes over it.
  char buf[32] = "abcdef";
  const ORV_val f{6, buf};
  const Bytes stored = {0x03, 'x'};
  ORV_val out{};
  ASSERT_EQ(orv_prefix_key_decode(&f, stored.data(), stored.size(), &out, buf, sizeof buf, nullptr),
            0);
  EXPECT_EQ(std::string(buf, out.mv_size), "abcx");
}

TEST(PrefixKey, RandomKeysRoundTripCanonically) {
  std::mt19937 rng(2024);
  auto random_key = [&](size_t max_len) {
    std::string s(1 + rng() % max_len, '\0');
    for (auto &ch : s) ch = static_cast<char>('a' + rng() % 3);  // small alphabet: long prefixes
    return s;
  };
  for (int round = 0; round < 3000; ++round) {
    const std::string first = random_key(round % 2 ? 12 : 511);
    const std::string key = random_key(round % 2 ? 12 : 511);
    const ORV_val f = val_of(first), k = val_of(key);
    uint8_t stored[600];
    size_t shared = 0;
    const size_t n = orv_prefix_key_write(&f, &k, stored, &shared);
    ASSERT_EQ(n, orv_prefix_key_size(key.size(), shared));
    ORV_prefix_info info{};
    ASSERT_TRUE(orv_prefix_key_check(&f, stored, n, &info)) << first << " / " << key;
    ASSERT_EQ(info.shared, shared);
    ASSERT_EQ(info.len, key.size());
    char buf[ORV_KEYBUF_MAX + 1];
    ORV_val out{};
    Exact in(Bytes(stored, stored + n));
    ASSERT_EQ(orv_prefix_key_decode(&f, in.data.get(), n, &out, buf, ORV_KEYBUF_MAX, nullptr), 0);
    ASSERT_EQ(std::string(buf, out.mv_size), key);
  }
}

}  // namespace
