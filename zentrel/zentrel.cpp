// zentrel: count the bytes of two files that differ by more than 3, every
// fourth byte left out; usage and report are in man/zentrel.1. Both files
// are read in turns and compared with SSE2, AVX2 (where the CPU has it,
// asked once at start, so one build runs on every x86-64 CPU) or NEON;
// where that could differ from reading one byte of each at a time (a
// terminal, or both files one stream), turns are one byte.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#endif

// Inputs over 2 GiB open and read on 32-bit targets only with 64-bit file
// offsets, which the build defines (_FILE_OFFSET_BITS=64).
static_assert(sizeof(off_t) == 8, "build with 64-bit file offsets");

namespace {

constexpr int bound = 1 << 30;  // positions
constexpr int separator = 10001;
constexpr int chunk = 1 << 18;  // bytes per file per turn

// One turn's bytes of each file: 512 KiB, static rather than on a stack that
// may be small.
unsigned char first[chunk], second[chunk];

// Counts k in [0, n) with |a[k] - b[k]| > 3, leaving out every k whose
// position phase + k leaves 3 when divided by 4.
int count_c(const unsigned char *a, const unsigned char *b, int n, int phase) {
  int number = 0;
  for (int k = 0; k < n; k++) {
    int d = a[k] - b[k];
    if ((phase + k) % 4 != 3 && (d > 3 || d < -3)) number++;
  }
  return number;
}

// kept[j] is 1 where position j is compared and 0 at every fourth byte. A
// vector kernel loads 16 or 32 of them from the phase on; a step of 16 or 32
// bytes keeps the phase, so one mask serves a whole run.
[[maybe_unused]] constexpr unsigned char kept[36] = {
    1, 1, 1, 0, 1, 1, 1, 0, 1, 1, 1, 0, 1, 1, 1, 0, 1, 1,
    1, 0, 1, 1, 1, 0, 1, 1, 1, 0, 1, 1, 1, 0, 1, 1, 1, 0};

// The counting kernels, twins giving the same counts; which of them a run
// takes is asked once at start (see widest_kernel).
enum Kernel { scalar, sse2, avx2, neon };

#if defined(__SSE2__)
// Same as count_c, 16 bytes a step; no alignment needed.
int count_sse2(const unsigned char *a, const unsigned char *b, int n,
               int phase) {
  const __m128i mask =
      _mm_loadu_si128(reinterpret_cast<const __m128i *>(kept + phase % 4));
  const __m128i three = _mm_set1_epi8(3);
  int number = 0, k = 0;
  while (k + 16 <= n) {
    // Byte counters hold at most 255 steps before they are summed.
    __m128i acc = _mm_setzero_si128();
    for (int steps = 0; steps < 255 && k + 16 <= n; steps++, k += 16) {
      __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + k));
      __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + k));
      __m128i d = _mm_or_si128(_mm_subs_epu8(va, vb), _mm_subs_epu8(vb, va));
      __m128i over = _mm_subs_epu8(d, three);  // nonzero where d > 3
      acc = _mm_add_epi8(acc, _mm_min_epu8(over, mask));
    }
    __m128i sums = _mm_sad_epu8(acc, _mm_setzero_si128());
    number += _mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4);
  }
  return number + count_c(a + k, b + k, n - k, (phase + k) % 4);
}

// Same as count_c, 32 bytes a step, for CPUs with AVX2.
__attribute__((target("avx2"))) int count_avx2(const unsigned char *a,
                                               const unsigned char *b, int n,
                                               int phase) {
  const __m256i mask =
      _mm256_loadu_si256(reinterpret_cast<const __m256i *>(kept + phase % 4));
  const __m256i three = _mm256_set1_epi8(3);
  int number = 0, k = 0;
  while (k + 32 <= n) {
    // Byte counters hold at most 255 steps before they are summed.
    __m256i acc = _mm256_setzero_si256();
    for (int steps = 0; steps < 255 && k + 32 <= n; steps++, k += 32) {
      __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + k));
      __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + k));
      __m256i d =
          _mm256_or_si256(_mm256_subs_epu8(va, vb), _mm256_subs_epu8(vb, va));
      __m256i over = _mm256_subs_epu8(d, three);  // nonzero where d > 3
      acc = _mm256_add_epi8(acc, _mm256_min_epu8(over, mask));
    }
    __m256i sums = _mm256_sad_epu8(acc, _mm256_setzero_si256());
    __m128i half = _mm_add_epi64(_mm256_castsi256_si128(sums),
                                 _mm256_extracti128_si256(sums, 1));
    number += _mm_cvtsi128_si32(half) + _mm_extract_epi16(half, 4);
  }
  return number + count_sse2(a + k, b + k, n - k, (phase + k) % 4);
}
#elif defined(__ARM_NEON)
// Same as count_c, 16 bytes a step; no alignment needed.
int count_neon(const unsigned char *a, const unsigned char *b, int n,
               int phase) {
  const uint8x16_t mask = vld1q_u8(kept + phase % 4);
  const uint8x16_t three = vdupq_n_u8(3);
  int number = 0, k = 0;
  while (k + 16 <= n) {
    // Byte counters hold at most 255 steps before they are summed.
    uint8x16_t acc = vdupq_n_u8(0);
    for (int steps = 0; steps < 255 && k + 16 <= n; steps++, k += 16) {
      uint8x16_t d = vabdq_u8(vld1q_u8(a + k), vld1q_u8(b + k));
      uint8x16_t over = vqsubq_u8(d, three);  // nonzero where d > 3
      acc = vaddq_u8(acc, vminq_u8(over, mask));
    }
    uint64x2_t sums = vpaddlq_u32(vpaddlq_u16(vpaddlq_u8(acc)));
    number +=
        static_cast<int>(vgetq_lane_u64(sums, 0) + vgetq_lane_u64(sums, 1));
  }
  return number + count_c(a + k, b + k, n - k, (phase + k) % 4);
}
#endif

// The widest kernel this build has and this CPU runs. x86 CPUs are asked;
// SSE2 is part of every x86-64 CPU, NEON of every arm64 one.
Kernel widest_kernel() {
#if defined(__SSE2__)
  if (__builtin_cpu_supports("avx2")) return avx2;
  return sse2;
#elif defined(__ARM_NEON)
  return neon;
#else
  return scalar;
#endif
}

// count_c done by the given kernel, one the CPU runs.
int count(Kernel kernel, const unsigned char *a, const unsigned char *b, int n,
          int phase) {
  switch (kernel) {
#if defined(__SSE2__)
    case avx2:
      return count_avx2(a, b, n, phase);
    case sse2:
      return count_sse2(a, b, n, phase);
#elif defined(__ARM_NEON)
    case neon:
      return count_neon(a, b, n, phase);
#endif
    default:
      return count_c(a, b, n, phase);
  }
}

// Reads n bytes into buf, retrying short reads until the file ends. Past its
// end the last byte read repeats. Returns false on a read error.
bool read_padded(int fd, unsigned char *buf, int n, unsigned char &last) {
  int got = 0;
  while (got < n) {
    ssize_t r = read(fd, buf + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return false;
    if (r == 0) break;
    got += static_cast<int>(r);
  }
  if (got > 0) last = buf[got - 1];
  memset(buf + got, last, n - got);
  return true;
}

// True when only turns of one byte per file give the result of reading one
// byte at a time: either file is a terminal, where a 0 read (a ^D typed)
// ends that read and not the file, or both draw on one stream (a pipe,
// FIFO, socket or device reached by two paths; a terminal reached as
// /dev/tty and as /dev/pts/N is a terminal). Separate opens of a regular
// file read apart, and so do those of /dev/null, /dev/zero, /dev/full,
// /dev/random and /dev/urandom, whose bytes do not depend on who read
// before. Where either cannot be told, they are taken as one stream.
bool bytewise(int fd_a, int fd_b) {
  struct stat sa, sb;
  if (fstat(fd_a, &sa) != 0 || fstat(fd_b, &sb) != 0) return true;
  if (isatty(fd_a) != 0 || isatty(fd_b) != 0) return true;
  if (S_ISCHR(sa.st_mode) && S_ISCHR(sb.st_mode)) {
    const unsigned int m = minor(sa.st_rdev);
    const bool memoryless = major(sa.st_rdev) == 1 &&
                            (m == 3 || m == 5 || m == 7 || m == 8 || m == 9);
    return sa.st_rdev == sb.st_rdev && !memoryless;
  }
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino &&
         !S_ISREG(sa.st_mode);
}

int fail(const char *what, const char *path) {
  printf("%s error! %s: %s\n", what, path, strerror(errno));
  return -1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc <= 2) {
    puts("The input para is too few...");
    return -1;
  }
  printf("Your cmd is: %s\n", argv[0]);
  int fd_a = open(argv[1], O_RDONLY);
  if (fd_a < 0) return fail("open", argv[1]);
  int fd_b = open(argv[2], O_RDONLY);
  if (fd_b < 0) return fail("open", argv[2]);

  // The first file is read first and never behind the second, so a producer
  // feeding both is never left blocked on one while this waits on the other.
  const int turn = bytewise(fd_a, fd_b) ? 1 : chunk;
  const Kernel kernel = widest_kernel();
  unsigned char last_b = 0;
  int i = 0, number = 0;
  while (i < bound) {
    // Take whatever the first file has ready (never past the bound), then
    // exactly as many bytes of the second.
    int n = static_cast<int>(
        read(fd_a, first, bound - i < turn ? bound - i : turn));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail("read", argv[1]);
    if (n == 0) {
      puts("read c == 0");
      break;
    }
    if (!read_padded(fd_b, second, n, last_b)) return fail("read", argv[2]);
    if (i <= separator && separator < i + n) puts("----------------");
    number += count(kernel, first, second, n, i % 4);
    i += n;
  }
  close(fd_a);
  close(fd_b);

  // Each count and their quotient is stored in single precision, so that a
  // floating-point unit with wider registers (x87) cannot round otherwise.
  // An empty first file has no rate: its report says "-nan" in letters, as
  // printf does for 0/0 on x86, on every target. A NaN's sign would last
  // only as far as each floating-point unit carries it: widening a float
  // NaN for printf drops it on RISC-V, and i386 passes even a double NaN
  // constant through x87.
  if (i == 0) {
    printf(" i = %d, number = %d, rate = -nan\n", i, number);
  } else {
    volatile float num = static_cast<float>(number);
    volatile float den = static_cast<float>(i);
    volatile float rate = num / den;
    printf(" i = %d, number = %d, rate = %f\n", i, number, rate);
  }
  // The report is the product: if it could not be written, say so in the
  // status, there being nowhere else to say it.
  if (fflush(stdout) != 0 || ferror(stdout) != 0) return -1;
  return 0;
}
