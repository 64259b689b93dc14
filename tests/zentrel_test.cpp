// zentrel, run as a user would on files, directories, pipes and devices.
#include "run.h"

#define main zentrel_main
#include "../zentrel/zentrel.cpp"
#undef main

namespace {

const std::string head = std::string("Your cmd is: ") + TOOL + "\n";

struct Zentrel : ::testing::Test {
  Scratch s;
  fs::path a = s.dir / "a", b = s.dir / "b";
  Result cmp(const Bytes &x, const Bytes &y) {
    put(a, x);
    put(b, y);
    return run(s.dir, {TOOL, a, b});
  }
};

TEST_F(Zentrel, ReportsCountAndRateOnWorkedCases) {
  using namespace std::literals;
  const Bytes cases[][3] = {
      // tolerance 3 counts as equal, 4 does not; positions 3 and 7 left out
      {"\x0a\x0a\x0a\x0a\x0a\x0a\x0a\x0a"s, "\x0a\x0e\x0d\x00\x0a\x0a\x06\x63"s,
       " i = 8, number = 2, rate = 0.250000\n"},
      // 0x00 against 0xFF counts, 0x80 against 0x7F does not
      {"\x00\x80\x0a\x00\x00\x07"s, "\xff\x7f\x0d\xff\x04\x03"s,
       " i = 6, number = 3, rate = 0.500000\n"},
      // an empty or short second file repeats its last byte (0 if none)
      {"\x00\x01\x02\x03\x04\x05"s, "",
       " i = 6, number = 2, rate = 0.333333\n"},
      {"\x09\x09\x09\x09\x09\x09\x09\x09", "\x05",
       " i = 8, number = 6, rate = 0.750000\n"},
      {"", "\x05", " i = 0, number = 0, rate = -nan\n"},
      // the quotient rounded once to single precision, whatever the FPU:
      // 188 of 257 gives 0.731517 (an x87 register left unrounded, 0.731518)
      {Bytes(257, 0), Bytes("\0\0\0\t\0\0", 6) + Bytes(251, '\t'),
       " i = 257, number = 188, rate = 0.731517\n"},
  };
  for (auto &[x, y, report] : cases) {
    Result r = cmp(x, y);
    EXPECT_EQ(r.out, head + "read c == 0\n" + report) << report;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
  }
}

TEST_F(Zentrel, PrintsTheSeparatorOncePositionTenThousandAndOneIsReached) {
  Bytes y(10002, 0);
  y[10001] = 9;  // compared like any other byte
  EXPECT_EQ(cmp(Bytes(10001, 0), y).out,
            head + "read c == 0\n i = 10001, number = 0, rate = 0.000000\n");
  EXPECT_EQ(cmp(Bytes(10002, 0), y).out,
            head +
                "----------------\nread c == 0\n"
                " i = 10002, number = 1, rate = 0.000100\n");
}

TEST_F(Zentrel, ChecksItsArguments) {
  for (auto args :
       {std::vector<std::string>{TOOL}, std::vector<std::string>{TOOL, "x"}}) {
    Result r = run(s.dir, args);
    EXPECT_EQ(r.out, "The input para is too few...\n");
    EXPECT_EQ(r.status, 255);
  }
  put(a, "abcd");
  put(b, "abcd");
  Result r = run(s.dir, {TOOL, a, b, "/no/such", "-v"});
  EXPECT_EQ(r.out, head + "read c == 0\n i = 4, number = 0, rate = 0.000000\n");
}

TEST_F(Zentrel, ReportsEveryFailureWithStatus255) {
  put(a, "abcd");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{TOOL, "/no/such", a},
       "open error! /no/such: No such file or directory"},
      {{TOOL, a, "/no/such"},
       "open error! /no/such: No such file or directory"},
      {{TOOL, "/var", a}, "read error! /var: Is a directory"},
      {{TOOL, a, "/var"}, "read error! /var: Is a directory"},
  };
  for (auto &[args, line] : cases) {
    Result r = run(s.dir, args);
    EXPECT_EQ(r.out, head + line + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 255);
  }
  EXPECT_EQ(run(s.dir, {TOOL, a, a}, {.out_path = "/dev/full"}).status, 255);
  // Line-buffered, each line fails as it is printed, and nothing is left
  // for the last flush to fail on.
  if (*EMULATOR == '\0') {
    Result r = run(s.dir, {"stdbuf", "-oL", TOOL, a, a},
                   {.out_path = "/dev/full",
                    .env = {"ASAN_OPTIONS=verify_asan_link_order=0"}});
    EXPECT_EQ(r.status, 255);
  }
}

TEST_F(Zentrel, PipesInUnevenPiecesGiveTheSameReportAsFiles) {
  Bytes x = noise(30000, 1), y = noise(20000, 2);
  Result files = cmp(x, y);
  // Regular files are read in turns: a byte at a time would take 60,000
  // reads (an emulator makes a few dozen of its own).
  EXPECT_TRUE(files.reads >= 0 && files.reads < 200) << files.reads;
  fs::remove(a);
  fs::remove(b);
  pid_t writer = feed({a, b}, {x, y});
  Result pipes = run(s.dir, {TOOL, a, b});
  EXPECT_EQ(reap(writer), 0);
  EXPECT_EQ(pipes.out, files.out);
  EXPECT_NE(files.out.find("number = "), std::string::npos);

  // Standard output a full FIFO: the files are closed before the report
  // waits there, so a producer still writing the second is not kept blocked.
  fs::remove(a);
  fs::remove(b);
  const fs::path out = s.dir / "out";
  pid_t producer = stalled(out, b);
  put(a, "abc");
  EXPECT_EQ(
      run(s.dir, {TOOL, a, b}, {.out_path = out.c_str(), .limit = 10}).status,
      0);
  EXPECT_EQ(reap(producer), 0);
}

TEST_F(Zentrel, NeverWaitsOnOneFileWhileAProducerIsBlockedOnTheOther) {
  Bytes x = noise(300000, 3), y = noise(300000, 4);
  // Two turns of 256 KiB take about six reads more than two empty files
  // (whose count holds what an emulator and the test's draining add).
  const long none = cmp("", "").reads;
  Result files = cmp(x, y);
  EXPECT_TRUE(none >= 0 && files.reads - none < 20)
      << files.reads << " " << none;
  for (auto order : {std::vector<int>{0, 1}, std::vector<int>{1, 0}})
    for (size_t row : {40000, 50000, 60000, 65536}) {
      fs::remove(a);
      fs::remove(b);
      pid_t writer = rows({a, b}, {x, y}, order, row);
      Result r = run(s.dir, {TOOL, a, b}, {.limit = 30});
      EXPECT_EQ(reap(writer), 0);
      ASSERT_EQ(r.out, files.out) << "order " << order[0] << ", row " << row;
    }
}

TEST_F(Zentrel, TakesAByteAtATimeWhereBothFilesAreOneStream) {
  // Each position takes the next two bytes of the pipe; at its end the
  // second slot keeps its last byte. A 64 KiB stack is enough.
  Bytes in = "RGBrgbXYZ";
  Result r = run(s.dir, {TOOL, "/dev/stdin", "/dev/stdin"},
                 {.input = &in, .stack = 64 << 10});
  EXPECT_EQ(r.out, head + "read c == 0\n i = 5, number = 3, rate = 0.600000\n");
  // One terminal reached as standard input and as /dev/tty: the lines typed
  // are taken in turns, A against A, A against A, A against newline, ...
  in = "AAAAAAA\nAZAZAZA\n\x04\x04";
  r = run(s.dir, {TOOL, "/dev/stdin", "/dev/tty"}, {.typed = &in, .limit = 10});
  EXPECT_EQ(r.out, head + "read c == 0\n i = 8, number = 3, rate = 0.375000\n");
  // One regular file twice reads apart, in turns: 3,000,000 bytes take a
  // few dozen reads, not millions.
  put(a, noise(3000000, 5));
  r = run(s.dir, {TOOL, a, a});
  EXPECT_TRUE(r.reads >= 0 && r.reads < 200) << r.reads;
  // The second alone a terminal: a ^D ends one read, not the file.
  in = "ab\n\4cd\n" + Bytes(8, '\4');  // ^D is \4
  put(a, "ab\n\ncd\n\n\n\n");
  r = run(s.dir, {TOOL, a, "/dev/stdin"}, {.typed = &in, .limit = 10});
  EXPECT_EQ(r.out,
            head + "read c == 0\n i = 10, number = 0, rate = 0.000000\n");
}

TEST_F(Zentrel, StopsAtThePositionBoundWithoutEndMessage) {
  put(a, "\x09");  // then zeros, against an empty second file
  fs::resize_file(a, (uintmax_t{1} << 31) + 3);  // over 2 GiB
  put(b, "");
  Result r = run(s.dir, {TOOL, a, b});
  EXPECT_EQ(r.out, head +
                       "----------------\n"
                       " i = 1073741824, number = 1, rate = 0.000000\n");
  EXPECT_EQ(r.status, 0);
  // Two opens of /dev/zero are not one stream, and are read in turns.
  r = run(s.dir, {TOOL, "/dev/zero", "/dev/zero"}, {.limit = 60});
  EXPECT_EQ(r.out, head +
                       "----------------\n"
                       " i = 1073741824, number = 0, rate = 0.000000\n");
  EXPECT_TRUE(r.reads >= 0 && r.reads < 10000) << r.reads;

  // From a pipe in pieces of 1,000 bytes, which do not divide 2^30, to just
  // past the bound: the read that reaches it must take no more.
  fs::remove(a);
  mkfifo(a.c_str(), 0600);
  pid_t writer = fork();
  if (writer == 0) {
    const char zeros[1000] = {};
    int fd = open(a.c_str(), O_WRONLY);
    for (int k = 0; k < 1073742; k++)
      if (write(fd, zeros, 1000) != 1000) _exit(1);
    _exit(0);
  }
  r = run(s.dir, {TOOL, a, b});
  reap(writer);
  EXPECT_EQ(r.out, head +
                       "----------------\n"
                       " i = 1073741824, number = 0, rate = 0.000000\n");
}

TEST_F(Zentrel, FindsNoDifferenceBetweenPlaxenOutputAndItsCopy) {
  fs::create_directory(s.dir / "work");
  put(s.dir / "bgr_r", noise(40000, 3));
  put(s.dir / "bgr_g", noise(40000, 4));
  put(s.dir / "bgr_b", noise(40000, 5));
  ASSERT_EQ(run(s.dir / "work", {PLAXEN}).status, 0);
  Bytes packed = get(s.dir / "work" / "rgbx");
  Bytes copy = packed;
  for (size_t k = 3; k < copy.size(); k += 4) copy[k] = 0;  // never compared
  Result r = cmp(packed, copy);
  EXPECT_EQ(r.out, head +
                       "----------------\nread c == 0\n"
                       " i = 160000, number = 0, rate = 0.000000\n");
}

TEST(ZentrelKernel, EveryTwinThisCpuRunsMatchesScalarAtEveryPhaseAndLength) {
#if defined(__SSE2__) || defined(__ARM_NEON) || defined(EXPECT_VECTOR_TWIN)
  ASSERT_NE(widest_kernel(), scalar)
      << "this target has a vector twin: build it";
#endif
#if defined(__SSE2__)
  // The run takes the widest twin this CPU has: AVX2 where it is, else SSE2.
  EXPECT_EQ(widest_kernel(), __builtin_cpu_supports("avx2") ? avx2 : sse2);
#endif
  struct Twin {
    Kernel kernel;
    const char *name;
    bool runs;  // on this CPU
  };
  const Twin twins[] = {
#if defined(__SSE2__)
    {sse2, "SSE2", true},
    {avx2, "AVX2", __builtin_cpu_supports("avx2") != 0},
#elif defined(__ARM_NEON)
    {neon, "NEON", true},
#endif
    {scalar, "scalar", true},  // the dispatch's fallback
  };
  // Differences cluster around the tolerance so that both sides of it occur.
  Bytes x = noise(20000, 6), y = x, jitter = noise(20000, 7);
  const Bytes zeros(16384 + 3, '\0'), ones(16384, '\xff');
  for (size_t k = 0; k < y.size(); k++) y[k] = char(y[k] + jitter[k] % 11 - 5);
  auto p = [](const Bytes &v, int off) {
    return reinterpret_cast<const unsigned char *>(v.data()) + off;
  };
  std::string tested, skipped;
  for (const Twin &t : twins) {
    if (!t.runs) {
      skipped += std::string(" ") + t.name;
      continue;
    }
    tested += std::string(" ") + t.name;
    for (int phase = 0; phase < 4; phase++) {
      // Lengths over several 32-byte steps with every tail, at offsets that put
      // the two files on different alignments.
      for (int n = 0; n <= 200; n++)
        for (int off = 0; off < 64; off += (n < 140 ? 1 : 7))
          ASSERT_EQ(count(t.kernel, p(x, off), p(y, 63 - off), n, phase),
                    count_c(p(x, off), p(y, 63 - off), n, phase))
              << t.name << " " << phase << " " << n << " " << off;
      // Long enough to overflow the widest byte counters (255 steps of 32
      // bytes) twice without their flushes; differing everywhere, every
      // counter would wrap to 0 were a flush one step late.
      ASSERT_EQ(count(t.kernel, p(x, 1), p(y, 2), 19990 - phase, phase),
                count_c(p(x, 1), p(y, 2), 19990 - phase, phase))
          << t.name << " " << phase;
      ASSERT_EQ(count(t.kernel, p(zeros, phase), p(ones, 0), 16384, phase),
                12288)
          << t.name << " " << phase;
    }
  }
  printf("kernels tested:%s; skipped, as this CPU lacks them:%s\n",
         tested.c_str(), skipped.empty() ? " none" : skipped.c_str());
}

}  // namespace
