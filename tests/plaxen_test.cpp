// plaxen, run as a user would: planes in a fresh folder, the tool run in a
// working folder inside it, "./rgbx" read back byte by byte.
#include "run.h"

#define main plaxen_main
#include "../plaxen/plaxen.cpp"
#undef main

namespace {

// What the tool must write: one pixel per red sample, a plane that ends
// sooner repeating its last sample (0 if it has none).
Bytes packed(const Bytes &r, const Bytes &g, const Bytes &b) {
  auto at = [](const Bytes &p, size_t k) {
    return p.empty() ? '\0' : p[std::min(k, p.size() - 1)];
  };
  Bytes out;
  for (size_t k = 0; k < r.size(); k++)
    out += {at(b, k), at(g, k), r[k], '\xff'};
  return out;
}

struct Plaxen : ::testing::Test {
  Scratch s;
  fs::path work = s.dir / "work";
  fs::path rgbx = work / "rgbx";
  Plaxen() { fs::create_directory(work); }
  void planes(const Bytes &r, const Bytes &g, const Bytes &b) {
    put(s.dir / "bgr_r", r);
    put(s.dir / "bgr_g", g);
    put(s.dir / "bgr_b", b);
  }
  Result go(bool close_stdin = false) {
    return run(work, {TOOL, "ignored", "-x"}, nullptr, close_stdin);
  }
};

TEST_F(Plaxen, PacksPixelsAndRepeatsTheLastSampleOfShortPlanes) {
  // Lengths around the chunk size and the 16-pixel kernel step.
  const size_t lengths[][3] = {{0, 0, 0},
                               {3, 1, 1},
                               {1000, 1000, 1000},
                               {17, 0, 16},
                               {70001, 40000, 69999}};
  for (auto [nr, ng, nb] : lengths) {
    Bytes r = noise(nr, 1), g = noise(ng, 2), b = noise(nb, 3);
    planes(r, g, b);
    fs::remove(rgbx);
    Result res = go();
    EXPECT_EQ(res.out, "read fdr == 0\n") << nr;
    EXPECT_EQ(res.err, "");
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(get(rgbx), packed(r, g, b)) << nr << " " << ng << " " << nb;
  }
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(fs::status(rgbx).permissions(), fs::perms(0666 & ~mask));
}

TEST_F(Plaxen, CutsAnOlderLongerOutputButLeavesItOnFailure) {
  Bytes old = noise(100, 4);
  put(rgbx, old);
  put(s.dir / "bgr_r", "ab");
  Result res = go();  // green and blue are missing
  EXPECT_EQ(res.out, "open error! fd_r = 3, fd_g = -1, fd_b = -1, rgbx = 4\n");
  EXPECT_EQ(res.status, 255);
  EXPECT_EQ(get(rgbx), old);

  planes("ab", "c", "d");
  EXPECT_EQ(go().status, 0);
  EXPECT_EQ(get(rgbx),
            "dca\xff"
            "dcb\xff");
  planes("", "c", "d");
  EXPECT_EQ(go().status, 0);
  EXPECT_EQ(get(rgbx), "");
}

TEST_F(Plaxen, ReportsEveryFailureWithStatus255) {
  planes("abc", "", "");
  fs::remove(s.dir / "bgr_g");
  Result res = go();
  EXPECT_EQ(res.out, "open error! fd_r = 3, fd_g = -1, fd_b = 4, rgbx = 5\n");
  EXPECT_EQ(res.status, 255);
  EXPECT_TRUE(fs::exists(rgbx));  // created by its own open

  put(s.dir / "bgr_g", "g");
  res = go(true);
  EXPECT_EQ(res.out, "open error! fd_r = 0, fd_g = 3, fd_b = 4, rgbx = 5\n");
  EXPECT_EQ(res.status, 255);

  fs::remove(rgbx);
  fs::create_directory(rgbx);
  res = go();
  EXPECT_EQ(res.out, "open error! fd_r = 3, fd_g = 4, fd_b = 5, rgbx = -1\n");
  fs::remove(rgbx);

  fs::remove(s.dir / "bgr_b");
  fs::create_directory(s.dir / "bgr_b");
  res = go();
  EXPECT_EQ(res.out, "read error! ../bgr_b: Is a directory\n");
  EXPECT_EQ(res.status, 255);
  EXPECT_EQ(res.err, "");

  fs::remove(s.dir / "bgr_b");
  fs::remove(rgbx);
  planes("abc", "g", "b");
  fs::create_symlink("/dev/full", rgbx);
  res = go();
  EXPECT_EQ(res.out, "write error! ./rgbx: No space left on device\n");
  EXPECT_EQ(res.status, 255);
}

TEST_F(Plaxen, StopsSilentlyAtThePixelBound) {
  planes("", "g", "b");
  fs::resize_file(s.dir / "bgr_r", 30720000 + 5);
  Result res = go();
  EXPECT_EQ(res.out, "");
  EXPECT_EQ(res.status, 0);
  ASSERT_EQ(fs::file_size(rgbx), 122880000u);
  Bytes out = get(rgbx);
  EXPECT_EQ(out.substr(0, 4), Bytes("bg\0\xff", 4));
  EXPECT_EQ(out.substr(out.size() - 4), Bytes("bg\0\xff", 4));
}

TEST_F(Plaxen, PlanesFromPipesInUnevenPiecesGiveTheSameOutput) {
  Bytes r = noise(20000, 5), g = noise(15000, 6), b = noise(20000, 7);
  pid_t writer =
      feed({s.dir / "bgr_r", s.dir / "bgr_g", s.dir / "bgr_b"}, {r, g, b});
  Result res = go();
  EXPECT_EQ(reap(writer), 0);
  EXPECT_EQ(res.out, "read fdr == 0\n");
  EXPECT_EQ(get(rgbx), packed(r, g, b));
}

TEST(PlaxenKernel, VectorMatchesScalarAtEveryLengthAndAlignment) {
  Bytes src = noise(3 * 128, 8);
  auto p = [&](int plane, int off) {
    return reinterpret_cast<const unsigned char *>(src.data()) + plane * 128 +
           off;
  };
  for (int n = 0; n <= 100; n++)
    for (int off = 0; off < 16; off++) {
      unsigned char want[4 * 116 + 16], got[4 * 116 + 16];
      memset(want, 0x5a, sizeof want);
      memset(got, 0x5a, sizeof got);
      interleave_c(p(0, off), p(1, 15 - off), p(2, off / 2), want + off, n);
      interleave(p(0, off), p(1, 15 - off), p(2, off / 2), got + off, n);
      ASSERT_EQ(memcmp(want, got, sizeof got), 0) << n << " " << off;
    }
}

}  // namespace
