// zentrel: count the bytes of two files that differ by more than 3.
//
// Usage: zentrel first second
//
// Byte n of the first file is set against byte n of the second. Every
// fourth byte (n = 3, 7, 11, ...: the constant fourth byte of a packed
// pixel) is read and counted in the total but never compared. Where the
// second file is shorter, its last byte (0 if it is empty) stands in for the
// rest. The first file alone decides where the comparison stops: at its end
// or after 2^30 bytes. The report gives the bytes taken from the first file,
// the count of differing bytes and their ratio, in single precision.
//
// Both files are read in chunks and compared with SSE2 where the compiler
// targets it; the report is the same as reading one byte of each file at a
// time.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

constexpr int bound = 1 << 30;  // positions
constexpr int separator = 10001;
constexpr int chunk = 65536;  // bytes per file per turn

// One turn's bytes of each file: static rather than on a stack that may be
// small.
unsigned char a[chunk], b[chunk];

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

#ifdef __SSE2__
// Same as count_c, 16 bytes a step; no alignment needed.
int count_sse2(const unsigned char *a, const unsigned char *b, int n,
               int phase) {
  // kept[j] is 1 where position j is compared and 0 at every fourth byte;
  // a 16-byte step keeps the phase, so one mask serves the whole run.
  static const unsigned char kept[20] = {1, 1, 1, 0, 1, 1, 1, 0, 1, 1,
                                         1, 0, 1, 1, 1, 0, 1, 1, 1, 0};
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
#define count count_sse2
#else
#define count count_c
#endif

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

// True when both descriptors draw on one stream (a pipe, FIFO, socket or
// device reached by two paths): then only turns of one byte per file give
// the result of reading one byte at a time. Separate opens of a regular file
// read apart.
bool same_stream(int fd_a, int fd_b) {
  struct stat sa, sb;
  if (fstat(fd_a, &sa) != 0 || fstat(fd_b, &sb) != 0) return true;
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
  const int turn = same_stream(fd_a, fd_b) ? 1 : chunk;
  unsigned char last_b = 0;
  int i = 0, number = 0;
  while (i < bound) {
    // Take whatever the first file has ready (never past the bound), then
    // exactly as many bytes of the second.
    int n =
        static_cast<int>(read(fd_a, a, bound - i < turn ? bound - i : turn));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail("read", argv[1]);
    if (n == 0) {
      puts("read c == 0");
      break;
    }
    if (!read_padded(fd_b, b, n, last_b)) return fail("read", argv[2]);
    if (i <= separator && separator < i + n) puts("----------------");
    number += count(a, b, n, i % 4);
    i += n;
  }
  close(fd_a);
  close(fd_b);

  float rate = static_cast<float>(number) / static_cast<float>(i);
  printf(" i = %d, number = %d, rate = %f\n", i, number, rate);
  // The report is the product: if it could not be written, say so in the
  // status, there being nowhere else to say it.
  if (fflush(stdout) != 0 || ferror(stdout) != 0) return -1;
  return 0;
}
