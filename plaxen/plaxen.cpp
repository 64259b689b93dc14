// plaxen: interleave three 8-bit channel planes into one packed-pixel file,
// ./rgbx, four bytes per pixel: blue, green, red, 0xFF. What it reads and
// writes, and when it fails, is in man/plaxen.1. The planes are read in
// turns and packed with SSE2 or NEON; where that could differ from reading
// one sample of each plane at a time, turns are one pixel.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#endif

// Inputs over 2 GiB open and read on 32-bit targets only with 64-bit file
// offsets, which the build defines (_FILE_OFFSET_BITS=64).
static_assert(sizeof(off_t) == 8, "build with 64-bit file offsets");

namespace {

constexpr int bound = 30720000;  // pixels
constexpr int chunk = 65536;     // pixels per turn
constexpr char output[] = "./rgbx";

// The output's state, kept here for fail: whether a failure may be printed
// (not when standard output is the output itself), the descriptor of a
// regular output to cut back on a failure (else -1), its length before the
// run and the bytes this run wrote to it.
bool quiet = false;
int regular_output = -1;
off_t old_length = 0, written = 0;

// Reports a failure unless quiet, then gives back any blocks reserved past
// the end of a regular output: cutting it at its length, the longer of its
// old length and the bytes this run wrote, frees them.
int fail(const char *what, const char *path) {
  if (!quiet) printf("%s error! %s: %s\n", what, path, strerror(errno));
  if (regular_output >= 0) {
    // The run's own failure is what gets said, not this cut's.
    [[maybe_unused]] int r =
        ftruncate(regular_output, std::max(old_length, written));
  }
  return -1;
}

// The planes' samples and the packed pixels of one turn: 448 KiB, static
// rather than on a stack that may be small.
unsigned char red[chunk], green[chunk], blue[chunk], pixels[4 * chunk];

// Packs n pixels: dst[4k..4k+3] = b[k], g[k], r[k], 0xFF.
void interleave_c(const unsigned char *r, const unsigned char *g,
                  const unsigned char *b, unsigned char *dst, int n) {
  for (int k = 0; k < n; k++) {
    dst[4 * k] = b[k];
    dst[4 * k + 1] = g[k];
    dst[4 * k + 2] = r[k];
    dst[4 * k + 3] = 0xFF;
  }
}

#if defined(__SSE2__)
// Same as interleave_c, 16 pixels a step; no alignment needed.
void interleave_sse2(const unsigned char *r, const unsigned char *g,
                     const unsigned char *b, unsigned char *dst, int n) {
  const __m128i ff = _mm_set1_epi8(-1);
  int k = 0;
  for (; k + 16 <= n; k += 16) {
    __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + k));
    __m128i vg = _mm_loadu_si128(reinterpret_cast<const __m128i *>(g + k));
    __m128i vr = _mm_loadu_si128(reinterpret_cast<const __m128i *>(r + k));
    __m128i bg_lo = _mm_unpacklo_epi8(vb, vg);
    __m128i bg_hi = _mm_unpackhi_epi8(vb, vg);
    __m128i rf_lo = _mm_unpacklo_epi8(vr, ff);
    __m128i rf_hi = _mm_unpackhi_epi8(vr, ff);
    __m128i *out = reinterpret_cast<__m128i *>(dst + 4 * k);
    _mm_storeu_si128(out, _mm_unpacklo_epi16(bg_lo, rf_lo));
    _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(bg_lo, rf_lo));
    _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(bg_hi, rf_hi));
    _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(bg_hi, rf_hi));
  }
  interleave_c(r + k, g + k, b + k, dst + 4 * k, n - k);
}
#define interleave interleave_sse2
#elif defined(__ARM_NEON)
// Same as interleave_c, 16 pixels a step; no alignment needed. Kept out of
// main: inlined there, GCC 12 for arm64 passes the four vectors through the
// stack on their way to st4, every 16 pixels.
[[gnu::noinline]] void interleave_neon(const unsigned char *r,
                                       const unsigned char *g,
                                       const unsigned char *b,
                                       unsigned char *dst, int n) {
  int k = 0;
  for (; k + 16 <= n; k += 16) {
    const uint8x16x4_t px = {
        {vld1q_u8(b + k), vld1q_u8(g + k), vld1q_u8(r + k), vdupq_n_u8(0xFF)}};
    vst4q_u8(dst + 4 * k, px);
  }
  interleave_c(r + k, g + k, b + k, dst + 4 * k, n - k);
}
#define interleave interleave_neon
#else
#define interleave interleave_c
#endif

// Reads what the descriptor has ready, up to n bytes, retrying a read that a
// signal interrupted. Returns read's result.
ssize_t read_some(int fd, unsigned char *buf, int n) {
  ssize_t got;
  do got = read(fd, buf, n);
  while (got < 0 && errno == EINTR);
  return got;
}

// One read toward filling buf[0, n) from a plane, of which got samples are
// there already. At the plane's end the rest repeats its last sample.
// Returns false on a read error.
bool read_step(int fd, unsigned char *buf, int n, int &got,
               unsigned char &last) {
  ssize_t k = read_some(fd, buf + got, n - got);
  if (k < 0) return false;
  if (k == 0) {
    memset(buf + got, last, n - got);
    got = n;
    return true;
  }
  got += static_cast<int>(k);
  last = buf[got - 1];
  return true;
}

// Writes all n bytes, adding each one written to written, or fails with
// errno set.
bool write_all(int fd, const unsigned char *buf, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, buf, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = EIO;
      return false;
    }
    buf += w;
    n -= w;
    written += w;
  }
  return true;
}

// Fills n green and n blue samples for the turn's n red ones, always reading
// the plane that is behind (green on a tie, as a pixel takes them), so that a
// producer feeding the planes in any order is never left blocked on one
// while this waits on the other, and writes the turn's pixels to rgbx. A
// regular output takes them in one write once all are there. Any other
// (live: a pipe, FIFO or device, whose reader may be the producer itself,
// waiting on pixels before it writes more) takes, after every read, the
// pixels whose three samples are there, so none is held back while this
// waits for input. Returns 0, or fail's -1 where a plane or ./rgbx failed.
int fill_and_write(int fd_g, int fd_b, int rgbx, bool live, int n,
                   unsigned char &last_g, unsigned char &last_b) {
  int got_g = 0, got_b = 0, done = 0;  // done: pixels written
  while (done < n) {
    if (got_g <= got_b) {
      if (!read_step(fd_g, green, n, got_g, last_g))
        return fail("read", "../bgr_g");
    } else if (!read_step(fd_b, blue, n, got_b, last_b)) {
      return fail("read", "../bgr_b");
    }
    const int ready = std::min(got_g, got_b);
    if (ready > done && (live || ready == n)) {
      interleave(red + done, green + done, blue + done, pixels, ready - done);
      if (!write_all(rgbx, pixels, 4 * size_t(ready - done)))
        return fail("write", output);
      done = ready;
    }
  }
  return 0;
}

// True when two descriptors draw on one stream: one pipe, FIFO, socket or
// device reached by two paths. Separate opens of a regular file read apart,
// and so do those of /dev/null, /dev/zero, /dev/full, /dev/random and
// /dev/urandom, whose bytes do not depend on who read before.
bool one_stream(const struct stat &x, const struct stat &y) {
  if (S_ISCHR(x.st_mode) && S_ISCHR(y.st_mode)) {
    const unsigned int m = minor(x.st_rdev);
    const bool memoryless = major(x.st_rdev) == 1 &&
                            (m == 3 || m == 5 || m == 7 || m == 8 || m == 9);
    return x.st_rdev == y.st_rdev && !memoryless;
  }
  return x.st_dev == y.st_dev && x.st_ino == y.st_ino && !S_ISREG(x.st_mode);
}

// True when a turn must be one pixel to give the result of reading one byte
// at a time: a plane is a terminal, where a 0 read (a ^D typed) ends that
// read and not the plane, two planes draw on one stream, or the output is
// one of the planes or their stream, so that what is written can be read
// back. A terminal reached by two nodes (/dev/tty and /dev/pts/N) is thus
// taken in turns too. out is the output's fstat; a plane whose fstat fails
// is taken as shared.
bool bytewise(const int (&fds)[4], const struct stat &out) {
  struct stat st[4];
  st[3] = out;
  for (int x = 0; x < 3; x++)
    if (fstat(fds[x], &st[x]) != 0 || isatty(fds[x]) != 0) return true;
  for (int x = 0; x < 4; x++)
    for (int y = x + 1; y < 4; y++)
      if (one_stream(st[x], st[y]) || (y == 3 && st[x].st_dev == st[y].st_dev &&
                                       st[x].st_ino == st[y].st_ino))
        return true;
  return false;
}

// True when standard output is the output itself, where a line printed
// would land on the pixels: the same descriptor (standard output was closed
// and ./rgbx took its place), or the same file opened again (`plaxen > rgbx`).
// out is the output's fstat, nullptr where there is none.
bool into_output(int rgbx, const struct stat *out) {
  struct stat st;
  return rgbx == 1 || (out != nullptr && fstat(1, &st) == 0 &&
                       st.st_dev == out->st_dev && st.st_ino == out->st_ino);
}

// Reserves the blocks of the whole output before the first write, so that a
// disk too small for the run, or a file-size limit below it, fails the run
// before anything is overwritten, and so that the file system allocates in
// one piece rather than block by block. Only a regular output (fd >= 0) fed
// by a regular red plane, whose length gives the run's size, is reserved.
// An interrupted call is retried; a file system or kernel that cannot
// reserve at all (EOPNOTSUPP, ENOSYS) is written as it is. Returns false,
// errno set, on any other failure.
bool reserve(int fd, const struct stat &red) {
  if (fd < 0 || !S_ISREG(red.st_mode) || red.st_size == 0) return true;
  const off_t size = 4 * std::min(red.st_size, off_t{bound});
  rlimit lim{};
  if (getrlimit(RLIMIT_FSIZE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY &&
      static_cast<rlim_t>(size) > lim.rlim_cur) {
    errno = EFBIG;
    return false;
  }
  int r;
  do r = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size);
  while (r != 0 && errno == EINTR);
  return r == 0 || errno == EOPNOTSUPP || errno == ENOSYS;
}

}  // namespace

int main() {
  // All four opens are tried before any is tested, so the message shows
  // every descriptor. Descriptor 0 counts as a failure too: it means standard
  // input was closed and a plane took its place. The output is neither
  // truncated nor appended to here, so a run that fails now loses nothing.
  int fd_r = open("../bgr_r", O_RDONLY);
  int fd_g = open("../bgr_g", O_RDONLY);
  int fd_b = open("../bgr_b", O_RDONLY);
  int rgbx = open(output, O_RDWR | O_CREAT, 0666);
  // What the output is, asked once: a regular file is reserved for, cut at
  // the end and given back its reserved blocks on a failure, which its old
  // length decides. When standard output is this very file nothing is
  // printed, as a line would be written over its first bytes.
  struct stat output_stat {};
  const bool output_known = rgbx > 0 && fstat(rgbx, &output_stat) == 0;
  quiet = into_output(rgbx, output_known ? &output_stat : nullptr);
  if (fd_r <= 0 || fd_g <= 0 || fd_b <= 0 || rgbx <= 0) {
    if (!quiet)
      printf("open error! fd_r = %d, fd_g = %d, fd_b = %d, rgbx = %d\n", fd_r,
             fd_g, fd_b, rgbx);
    return -1;
  }
  if (!output_known) return fail("write", output);
  const bool regular = S_ISREG(output_stat.st_mode);

  // A file-size limit met while writing fails the write (EFBIG) rather than
  // killing the run, so the failure is reported and cleaned up after.
  [[maybe_unused]] auto ignored = signal(SIGXFSZ, SIG_IGN);
  // The red plane's length sizes the reservation: not knowing it must not
  // skip that silently.
  struct stat red_stat {};
  if (regular && fstat(fd_r, &red_stat) != 0) return fail("read", "../bgr_r");
  // From here on a failure cuts a regular output back.
  regular_output = regular ? rgbx : -1;
  old_length = output_stat.st_size;
  if (!reserve(regular_output, red_stat)) return fail("write", output);

  const int turn = bytewise({fd_r, fd_g, fd_b, rgbx}, output_stat) ? 1 : chunk;
  unsigned char last_g = 0, last_b = 0;
  int i = 0;
  bool red_ended = false;  // before the bound
  while (i < bound) {
    // Take whatever red the plane has ready (never past the bound), then
    // exactly as many green and blue samples.
    int n = static_cast<int>(
        read_some(fd_r, red, bound - i < turn ? bound - i : turn));
    if (n < 0) return fail("read", "../bgr_r");
    if (n == 0) {
      red_ended = true;
      break;
    }
    if (fill_and_write(fd_g, fd_b, rgbx, !regular, n, last_g, last_b) != 0)
      return -1;
    i += n;
  }

  // Cut a regular output to what this run wrote, so no older, longer run's
  // pixels trail behind it, nor any reserved block. Devices and pipes are
  // left as they are.
  if (regular && ftruncate(rgbx, written) != 0) return fail("write", output);
  regular_output = -1;  // cut: nothing left to give back
  close(fd_r);
  close(fd_g);
  close(fd_b);
  if (close(rgbx) != 0) return fail("write", output);
  // Said once the output is cut and closed, so that a run that fails there
  // prints that failure alone.
  if (red_ended && !quiet) puts("read fdr == 0");
  return 0;
}
