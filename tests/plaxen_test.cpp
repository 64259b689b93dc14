// plaxen, run as a user would: planes in a fresh folder, the tool run in a
// working folder inside it, "./rgbx" read back byte by byte.
#include <sys/mount.h>

#include <algorithm>

#include "run.h"

#define main plaxen_main
#include "../plaxen/plaxen.cpp"
#undef main

namespace {

using namespace std::literals;

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

// The descriptors the tool's first four opens get when started as start
// says: this test program, started so with PLAXEN_TEST_FDS set, opens four
// files and prints their numbers. A preloaded library (faketime's) can
// hold one of 0, 3, 4, 5.
const bool fd_probe = getenv("PLAXEN_TEST_FDS") && [] {
  for (int k = 0; k < 4; k++) dprintf(1, "%d ", open("/dev/null", O_RDONLY));
  _exit(0);
  return true;
}();
std::vector<int> free_fds(const Start &start = {}) {
  setenv("PLAXEN_TEST_FDS", "", 1);
  std::istringstream out(
      run("/", {fs::read_symlink("/proc/self/exe")}, start).out);
  unsetenv("PLAXEN_TEST_FDS");
  std::vector<int> fds{std::istream_iterator<int>(out), {}};
  fds.resize(4, -2);
  return fds;
}
std::string open_error(int r, int g, int b, int x) {
  auto s = [](int fd) { return std::to_string(fd); };
  return "open error! fd_r = " + s(r) + ", fd_g = " + s(g) +
         ", fd_b = " + s(b) + ", rgbx = " + s(x) + "\n";
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
  Result go(const Start &start = {}) {
    return run(work, {TOOL, "ignored", "-x"}, start);
  }
  ~Plaxen() override { umount2(work.c_str(), MNT_DETACH); }
};

TEST_F(Plaxen, PacksPixelsAndRepeatsTheLastSampleOfShortPlanes) {
  // Lengths around the chunk size and the 16-pixel kernel step.
  const size_t lengths[][3] = {{0, 0, 0},
                               {3, 1, 1},
                               {1000, 1000, 1000},
                               {17, 0, 16},
                               {70001, 40000, 69999}};
  long own_writes = 0;
  for (auto [nr, ng, nb] : lengths) {
    Bytes r = noise(nr, 1), g = noise(ng, 2), b = noise(nb, 3);
    planes(r, g, b);
    fs::remove(rgbx);
    Result res = go();
    EXPECT_EQ(res.out, "read fdr == 0\n") << nr;
    EXPECT_EQ(res.err, "");
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(get(rgbx), packed(r, g, b)) << nr << " " << ng << " " << nb;
    // Regular files are read a turn at a time, never a byte at a time, and
    // a regular output takes one write a turn, and the line one more (and
    // what a sanitizer's runtime writes, seen on the first, empty, run).
    EXPECT_TRUE(res.reads >= 0 && res.reads < 1000) << res.reads;
    if (nr == 0) own_writes = res.writes - 1;
    EXPECT_EQ(res.writes, own_writes + long(nr + chunk - 1) / chunk + 1) << nr;
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
  std::vector<int> fd = free_fds();
  EXPECT_EQ(res.out, open_error(fd[0], -1, -1, fd[1]));
  EXPECT_EQ(res.status, 255);
  EXPECT_EQ(get(rgbx), old);
  // With standard output closed the output takes descriptor 1, and the
  // open-error line must not land in it.
  fs::remove(s.dir / "bgr_r");
  EXPECT_EQ(go({.close_stdout = true}).status, 255);
  EXPECT_EQ(get(rgbx), old);

  planes("ab", "c", "d");
  EXPECT_EQ(go().status, 0);
  EXPECT_EQ(get(rgbx),
            "dca\xff"
            "dcb\xff");
  // With standard output closed the red plane takes descriptor 1: packed.
  put(rgbx, old);
  EXPECT_EQ(go({.close_stdout = true}).status, 0);
  EXPECT_EQ(get(rgbx), packed("ab", "c", "d"));
  planes("", "c", "d");
  EXPECT_EQ(go().status, 0);
  EXPECT_EQ(get(rgbx), "");
}

TEST_F(Plaxen, ReportsEveryFailureWithStatus255) {
  std::vector<int> fd = free_fds();
  Result res;
  for (int missing : {0, 1, 2}) {  // each plane missing alone
    planes("abc", "", "");
    fs::remove(s.dir / ("bgr_"s + "rgb"[missing]));
    std::vector<int> want{-1, -1, -1};
    for (int k = 0, next = 0; k < 3; k++)
      if (k != missing) want[k] = fd[next++];
    res = go();
    EXPECT_EQ(res.out, open_error(want[0], want[1], want[2], fd[2]));
    EXPECT_EQ(res.status, 255);
    EXPECT_TRUE(fs::exists(rgbx));  // created by its own open
  }
  planes("abc", "", "");

  // With standard input closed the red plane takes descriptor 0 and is
  // refused, unless a preloaded library took 0 first.
  put(s.dir / "bgr_g", "g");
  res = go({.close_stdin = true});
  std::vector<int> shut = free_fds({.close_stdin = true});
  EXPECT_EQ(res.out, shut[0] ? "read fdr == 0\n"
                             : open_error(0, shut[1], shut[2], shut[3]));
  EXPECT_EQ(res.status, shut[0] ? 0 : 255);

  fs::remove(rgbx);
  fs::create_directory(rgbx);
  res = go();
  EXPECT_EQ(res.out, open_error(fd[0], fd[1], fd[2], -1));
  fs::remove(rgbx);

  for (std::string p : {"bgr_r", "bgr_g", "bgr_b"}) {  // each unreadable
    planes("abc", "g", "b");
    fs::remove(s.dir / p);
    fs::create_directory(s.dir / p);
    res = go();
    EXPECT_EQ(res.out, "read error! ../" + p + ": Is a directory\n");
    EXPECT_EQ(res.status, 255);
    EXPECT_EQ(res.err, "");
    fs::remove(s.dir / p);
  }

  fs::remove(s.dir / "bgr_b");
  fs::remove(rgbx);
  planes("abc", "g", "b");
  fs::create_symlink("/dev/full", rgbx);
  res = go();
  EXPECT_EQ(res.out, "write error! ./rgbx: No space left on device\n");
  EXPECT_EQ(res.status, 255);
}

// One call of a tool fails as a row says (the preload's FAULT: call, path,
// which call, result, errno); the run must give its output without the
// fault (where no line is given) or the line and status, ./rgbx holding
// every pixel or none. Green and blue are standard input twice: one pipe
// where the fault names it, else a file read apart. zentrel compares them.
TEST_F(Plaxen, RetriesOrReportsEveryInjectedFault) {
  if (*FAULT_LIB == '\0') GTEST_SKIP() << "no preload under an emulator";
  const std::string io = "write error! ./rgbx: Input/output error\n";
  const std::tuple<const char *, const char *, std::string, int, bool> rows[] =
      {
          {TOOL, "write rgbx 1 0 EINTR", io, 255, false},  // errno left stale
          {TOOL, "write rgbx 1 1000 -", "", 0, true},
          {TOOL, "read bgr_r 1 -1 EINTR", "", 0, true},
          {TOOL, "fstat bgr_r 0 -1 EIO",
           "read error! ../bgr_r: Input/output error\n", 255, false},
          {TOOL, "fstat rgbx 0 -1 EIO", io, 255, false},     // nothing else cut
          {TOOL, "fstat pipe: 0 -1 EIO", "", 0, true},       // taken as shared
          {TOOL, "ftruncate rgbx 0 -1 EIO", io, 255, true},  // the only line
          {TOOL, "close rgbx 0 -1 EIO", io, 255, true},
          {ZENTREL, "read victim 1 -1 EINTR", "", 0, true},  // the first file
          {ZENTREL, "read victim 2 -1 EINTR", "", 0, true},  // the second
          {ZENTREL, "fstat pipe: 0 -1 EIO", "", 0, true},
      };
  const Bytes victim = noise(5000, 2), in = "gbGBxyXY";
  const std::string v = s.dir / "victim";
  put(s.dir / "bgr_r", noise(10000, 1));
  for (auto p : {"bgr_g", "bgr_b"}) fs::create_symlink("/dev/stdin", s.dir / p);
  for (auto &[tool, fault, line, status, whole] : rows) {
    Result res[2];
    Bytes out[2];
    for (int with : {0, 1}) {
      fs::remove(rgbx);
      put(v, victim);
      res[with] = run(
          work, {tool, "../bgr_g", "../bgr_b"},
          {.in_path = v.c_str(),
           .input = strstr(fault, "pipe") ? &in : nullptr,
           .limit = 10,
           .env = {"FAULT="s + (with ? fault : ""), "LD_PRELOAD=" FAULT_LIB}});
      out[with] = get(rgbx);
      EXPECT_EQ(get(v), victim) << fault;
    }
    EXPECT_EQ(res[1].out, line.empty() ? res[0].out : line) << fault;
    EXPECT_EQ(res[1].status, status) << fault;
    EXPECT_TRUE(out[1] == (whole ? out[0] : "")) << fault;
  }
}

TEST_F(Plaxen, StopsSilentlyAtThePixelBound) {
  planes("", "g", "b");
  fs::resize_file(s.dir / "bgr_r", (uintmax_t{1} << 31) + 5);  // over 2 GiB
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

  // Into a pipe (standard output, so no line is printed): a turn of red
  // from a file is written in many pieces as green and blue come in.
  r = noise(70000, 5), g = noise(70000, 6), b = noise(69000, 7);
  fs::remove(s.dir / "bgr_r");
  put(s.dir / "bgr_r", r);
  for (auto p : {s.dir / "bgr_g", s.dir / "bgr_b", rgbx}) fs::remove(p);
  fs::create_symlink("/dev/stdout", rgbx);
  writer = feed({s.dir / "bgr_g", s.dir / "bgr_b"}, {g, b});
  res = go({.limit = 30});
  EXPECT_EQ(reap(writer), 0);
  EXPECT_TRUE(res.out == packed(r, g, b)) << res.out.size();
  EXPECT_EQ(res.status, 0);

  // A FIFO nobody reads yet takes a small output: the open does not wait.
  for (auto p : {s.dir / "bgr_g", s.dir / "bgr_b", rgbx}) fs::remove(p);
  mkfifo(rgbx.c_str(), 0600);
  planes("abc", "g", "b");
  EXPECT_EQ(go({.limit = 10}).out, "read fdr == 0\n");

  // Standard output a full FIFO: the planes are closed before the line
  // waits there, so a producer still writing green is not kept blocked.
  fs::remove(rgbx);
  fs::remove(s.dir / "bgr_g");
  const fs::path out = s.dir / "out";
  pid_t producer = stalled(out, s.dir / "bgr_g");
  EXPECT_EQ(go({.out_path = out.c_str(), .limit = 10}).status, 0);
  EXPECT_EQ(reap(producer), 0);
}

TEST_F(Plaxen, NeverWaitsOnOnePlaneWhileAProducerIsBlockedOnAnother) {
  // One producer writes the planes a row at a time, in every order, with
  // rows around a turn's size, up to what a pipe holds (longer ones would
  // block even a reader taking one byte of each plane in turn); each write
  // blocks on a full pipe.
  Bytes r = noise(300000, 9), g = noise(300000, 10), b = noise(300000, 11);
  std::vector<int> order = {0, 1, 2};
  do
    for (size_t row : {40000, 50000, 60000, 65536}) {
      for (auto p : {"bgr_r", "bgr_g", "bgr_b"}) fs::remove(s.dir / p);
      pid_t writer = rows({s.dir / "bgr_r", s.dir / "bgr_g", s.dir / "bgr_b"},
                          {r, g, b}, order, row);
      Result res = go({.limit = 30});
      EXPECT_EQ(reap(writer), 0);
      ASSERT_EQ(res.out, "read fdr == 0\n")
          << "order " << order[0] << order[1] << order[2] << ", row " << row;
      ASSERT_EQ(get(rgbx), packed(r, g, b));
    }
  while (std::next_permutation(order.begin(), order.end()));

  // A co-process: red from a file, and each row of green and blue written
  // only once the last row's pixels are read back from a FIFO ./rgbx.
  r.resize(10000), g.resize(10000), b.resize(10000);
  fs::remove(s.dir / "bgr_r");
  put(s.dir / "bgr_r", r);
  for (size_t row : {1, 100, 5000}) {
    for (auto p : {s.dir / "bgr_g", s.dir / "bgr_b", rgbx}) fs::remove(p);
    pid_t producer = rows({s.dir / "bgr_g", s.dir / "bgr_b"}, {g, b}, {0, 1},
                          row, rgbx, packed(r, g, b));
    Result res = go({.limit = 30});
    ASSERT_EQ(reap(producer), 0) << "row " << row;
    EXPECT_EQ(res.out, "read fdr == 0\n");
  }
}

TEST_F(Plaxen, TakesAByteAtATimeWherePlanesShareAStream) {
  // All three planes are one pipe: each pixel takes its next three bytes.
  for (auto p : {"bgr_r", "bgr_g", "bgr_b"})
    fs::create_symlink("/dev/stdin", s.dir / p);
  // A 64 KiB stack, as such a loop needs, is enough.
  Bytes in = "RGBrgbXYZ";
  Result res = go({.input = &in, .stack = 64 << 10});
  EXPECT_EQ(res.out, "read fdr == 0\n");
  EXPECT_EQ(get(rgbx),
            "BGR\xff"
            "bgr\xff"
            "ZYX\xff");

  // Red from standard input and green from /dev/tty, both one terminal: the
  // lines typed are taken in turns too. Two opens of /dev/zero are not one
  // stream: its bytes are the same whoever reads.
  fs::remove(s.dir / "bgr_g");
  fs::remove(s.dir / "bgr_b");
  fs::create_symlink("/dev/tty", s.dir / "bgr_g");
  put(s.dir / "bgr_b", "\x07");
  in = "ABCDEFG\nabcdefg\n\x04\x04";
  res = go({.typed = &in, .limit = 10});
  EXPECT_EQ(res.out, "read fdr == 0\n");
  EXPECT_EQ(get(rgbx), packed("ACEGaceg", "BDF\nbdf\n", "\x07"));
  // Green alone a terminal: a ^D ends one read, not the plane; the next
  // pixel takes what was typed after it.
  for (auto p : {"bgr_r", "bgr_g"}) fs::remove(s.dir / p);
  fs::create_symlink("/dev/stdin", s.dir / "bgr_g");
  put(s.dir / "bgr_r", "RRRRRR");
  in = "ab\n\4cd\n" + Bytes(8, '\4');  // ^D is \4
  go({.typed = &in, .limit = 10});
  EXPECT_EQ(get(rgbx), packed("RRRRRR", "ab\n\ncd", "\x07"));
  for (auto p : {"bgr_r", "bgr_g", "bgr_b"}) fs::remove(s.dir / p);
  Bytes r = noise(70001, 1);
  put(s.dir / "bgr_r", r);
  fs::create_symlink("/dev/zero", s.dir / "bgr_g");
  fs::create_symlink("/dev/zero", s.dir / "bgr_b");
  res = go();
  EXPECT_TRUE(res.reads >= 0 && res.reads < 1000) << res.reads;
  EXPECT_EQ(get(rgbx), packed(r, "\0"s, "\0"s));

  // The green plane is the output: each green sample is a byte written
  // before it (0 while there is none), as the output grows.
  for (auto p : {"bgr_r", "bgr_g", "bgr_b"}) fs::remove(s.dir / p);
  put(rgbx, "");
  put(s.dir / "bgr_r", "abcd");
  put(s.dir / "bgr_b", "B");
  fs::create_symlink("work/rgbx", s.dir / "bgr_g");
  EXPECT_EQ(go().out, "read fdr == 0\n");
  EXPECT_EQ(get(rgbx), Bytes("B\0a\xff"
                             "BBb\xff"
                             "B\0c\xff"
                             "Bad\xff",
                             16));
}

TEST_F(Plaxen, FailsBeforeWritingWhenTheDiskIsTooSmall) {
  if (mount("tmpfs", work.c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "skipped: no 1 MiB tmpfs to fill: " << strerror(errno);
  // Blocks in use, and what the file's own length takes.
  auto used = [&] {
    struct stat st;
    stat(rgbx.c_str(), &st);
    return st.st_blocks * 512;
  };
  auto own = [&] {
    struct stat st;
    stat(rgbx.c_str(), &st);
    return (st.st_size + st.st_blksize - 1) / st.st_blksize * st.st_blksize;
  };
  Bytes old = noise(100000, 13);
  put(rgbx, old);
  planes(noise(300000, 14), "g", "b");  // 1.2 MB of pixels
  Result res = go();
  EXPECT_EQ(res.out, "write error! ./rgbx: No space left on device\n");
  EXPECT_EQ(res.status, 255);
  EXPECT_EQ(get(rgbx), old);
  EXPECT_EQ(used(), own());

  // A run that fits, and one that fails after reserving, keep no block past
  // the end.
  planes(noise(200000, 15), "g", "b");
  EXPECT_EQ(go().status, 0);
  EXPECT_EQ(fs::file_size(rgbx), 800000u);
  EXPECT_EQ(used(), own());
  fs::remove(s.dir / "bgr_b");
  fs::create_directory(s.dir / "bgr_b");
  EXPECT_EQ(go().status, 255);
  EXPECT_EQ(used(), own());
}

TEST_F(Plaxen, KeepsToAFileSizeLimitAndOutOfAnOutputThatIsStandardOutput) {
  // A limit below the run's size fails it before writing, with nothing
  // reserved; a limit of exactly the run's size is enough.
  Bytes old = noise(1000, 16), r = noise(3000, 17);
  put(rgbx, old);
  planes(r, "g", "b");
  Result res = go({.fsize = 4 * 3000 - 1});
  EXPECT_EQ(res.out, "write error! ./rgbx: File too large\n");
  EXPECT_EQ(res.status, 255);
  EXPECT_EQ(get(rgbx), old);
  struct stat st;
  ASSERT_EQ(stat(rgbx.c_str(), &st), 0);
  EXPECT_LE(st.st_blocks * 512, st.st_blksize);
  // With no old output, a refused run and one failing after its reservation
  // (blue unreadable) leave an empty file without a block.
  for (rlim_t fsize : {4 * 3000 - 1, 0}) {
    fs::remove(rgbx);
    if (fsize == 0) {
      fs::remove(s.dir / "bgr_b");
      fs::create_directory(s.dir / "bgr_b");
    }
    EXPECT_EQ(go({.fsize = fsize}).status, 255);
    ASSERT_EQ(stat(rgbx.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0) << fsize;
    EXPECT_EQ(st.st_blocks, 0) << fsize;
  }
  fs::remove(s.dir / "bgr_b");
  put(s.dir / "bgr_b", "b");
  EXPECT_EQ(go({.fsize = 4 * 3000}).status, 0);
  EXPECT_EQ(get(rgbx), packed(r, "g", "b"));
  // A red plane from a pipe gives no size in advance: the limit is met while
  // writing, and reported rather than a signal killing the run, even when
  // it leaves a single byte unwritten.
  fs::remove(s.dir / "bgr_r");
  fs::create_symlink("/dev/stdin", s.dir / "bgr_r");
  for (rlim_t fsize : {4097, 4 * 3000 - 1}) {
    fs::remove(rgbx);
    res = go({.input = &r, .fsize = fsize});
    EXPECT_EQ(res.out, "write error! ./rgbx: File too large\n");
    EXPECT_EQ(res.status, 255);
    EXPECT_EQ(get(rgbx), packed(r, "g", "b").substr(0, fsize));
  }

  // Standard output opened on ./rgbx itself: no line lands on the pixels,
  // and the status is as before.
  fs::remove(s.dir / "bgr_r");
  planes("abc", "g", "b");
  EXPECT_EQ(go({.out_path = rgbx.c_str()}).status, 0);
  EXPECT_EQ(get(rgbx), packed("abc", "g", "b"));
  put(rgbx, old);
  fs::remove(s.dir / "bgr_b");
  fs::create_directory(s.dir / "bgr_b");  // a read error
  EXPECT_EQ(go({.out_path = rgbx.c_str()}).status, 255);
  EXPECT_EQ(get(rgbx), old);
  fs::remove(s.dir / "bgr_b");  // an open error
  EXPECT_EQ(go({.out_path = rgbx.c_str()}).status, 255);
  EXPECT_EQ(get(rgbx), old);
}

TEST(PlaxenKernel, VectorMatchesScalarAtEveryLengthAndAlignment) {
#if defined(__SSE2__) || defined(__ARM_NEON) || defined(EXPECT_VECTOR_TWIN)
  ASSERT_NE(&interleave, &interleave_c)
      << "this target has a vector twin: build it";
#endif
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
