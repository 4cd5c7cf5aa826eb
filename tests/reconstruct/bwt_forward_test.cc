// Forward block transform: hand-worked blocks and agreement with the naive sorting model.
#include "quarnzip/bwt_forward.h"

#include <gtest/gtest.h>

#include "reconstruct/bwt_test_util.h"

namespace qn::rec::test {
namespace {

Transformed forward(const Bytes& in) {
  Transformed r{Bytes(in.size(), 0xEE), 0};
  r.start = zip::bwtForward(in.data(), r.data.data(), in.size());
  return r;
}

Bytes str(const char* s) { return Bytes(s, s + std::char_traits<char>::length(s)); }

// Worked by hand from the definition.
TEST(BwtForward, HandWorkedBlocks) {
  // "cab": keys t0 (c,b,a), t1 (a,c,b), t2 (b,a,c) -> rows t1, t2, t0 -> bytes b, c, a.
  auto r = forward(str("cab"));
  EXPECT_EQ(r.data, str("bca"));
  EXPECT_EQ(r.start, 1u);
  // "abab": keys t0 = t2 = (a,b,a), t1 = t3 = (b,a,b); ties by decreasing t -> rows t2, t0, t3, t1.
  r = forward(str("abab"));
  EXPECT_EQ(r.data, str("bbaa"));
  EXPECT_EQ(r.start, 2u);
  // All keys equal: rows t3, t2, t1, t0; position 3 is row 0.
  r = forward(str("aaaa"));
  EXPECT_EQ(r.data, str("aaaa"));
  EXPECT_EQ(r.start, 0u);
  // Nine bytes, one odd out at the end: rows (a,a,a) t7..t2, (a,a,b) t1, (a,b,a) t0, (b,a,a) t8;
  // only t7 is followed by the b.
  r = forward(str("aaaaaaaab"));
  EXPECT_EQ(r.data, str("baaaaaaaa"));
  EXPECT_EQ(r.start, 8u);
}

TEST(BwtForward, MatchesNaiveModel) {
  std::vector<Bytes> cases;
  for (size_t n : {2, 3, 9, 10, 17, 64, 255, 256, 1000, 4099}) {
    for (uint32_t seed = 1; seed <= 3; ++seed) {
      cases.push_back(randomBytes(n, seed * 31 + uint32_t(n)));
      cases.push_back(randomBytes(n, seed, 3));  // small alphabet: many equal keys
    }
    cases.push_back(Bytes(n, 'x'));        // all equal
    cases.push_back(periodicBytes(n, 3));  // every key repeats
    cases.push_back(periodicBytes(n, 7));
    cases.push_back(textBytes(n, uint32_t(n)));
  }
  Bytes runs;  // long runs of a few values
  for (int i = 0; i < 40; ++i) runs.insert(runs.end(), size_t(i * 7 % 23 + 1), uint8_t(i % 3));
  cases.push_back(runs);
  cases.push_back(binaryBytes(3001));
  for (const auto& in : cases) {
    auto want = naiveForward(in);
    auto got = forward(in);
    ASSERT_EQ(got.data, want.data) << "n = " << in.size();
    ASSERT_EQ(got.start, want.start) << "n = " << in.size();
  }
}

}  // namespace
}  // namespace qn::rec::test
