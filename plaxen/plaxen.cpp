// plaxen: interleave three 8-bit channel planes into one packed-pixel file.
//
// Reads ../bgr_r, ../bgr_g and ../bgr_b (one unsigned byte per pixel) and
// writes ./rgbx, four bytes per pixel: blue, green, red, 0xFF. The red plane
// decides how many pixels there are; a green or blue plane that ends sooner
// repeats its last sample (0 if it had none), so a one-byte plane acts as a
// constant channel. At most 30,720,000 pixels are taken.
//
// The planes are read in chunks and interleaved with SSE2 where the compiler
// targets it; the output is the same as reading one sample of each plane and
// writing one pixel at a time.

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

constexpr int bound = 30720000;  // pixels
constexpr int chunk = 32768;     // pixels per turn: 224 KiB of buffers in all

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

#ifdef __SSE2__
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
#else
#define interleave interleave_c
#endif

// Reads n samples into buf, retrying short reads until the plane ends. Past
// its end the last sample read repeats. Returns false on a read error.
bool read_plane(int fd, unsigned char *buf, int n, unsigned char &last) {
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

// Writes all n bytes or fails with errno set.
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
  }
  return true;
}

int fail(const char *what, const char *path) {
  printf("%s error! %s: %s\n", what, path, strerror(errno));
  return -1;
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
  int rgbx = open("./rgbx", O_RDWR | O_CREAT, 0666);
  if (fd_r <= 0 || fd_g <= 0 || fd_b <= 0 || rgbx <= 0) {
    printf("open error! fd_r = %d, fd_g = %d, fd_b = %d, rgbx = %d\n", fd_r,
           fd_g, fd_b, rgbx);
    return -1;
  }

  unsigned char r[chunk], g[chunk], b[chunk], out[4 * chunk];
  unsigned char last_g = 0, last_b = 0;
  int i = 0;
  while (i < bound) {
    // Take whatever red the plane has ready (never past the bound), then
    // exactly as many green and blue samples.
    int n =
        static_cast<int>(read(fd_r, r, bound - i < chunk ? bound - i : chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail("read", "../bgr_r");
    if (n == 0) {
      puts("read fdr == 0");
      break;
    }
    if (!read_plane(fd_g, g, n, last_g)) return fail("read", "../bgr_g");
    if (!read_plane(fd_b, b, n, last_b)) return fail("read", "../bgr_b");
    interleave(r, g, b, out, n);
    if (!write_all(rgbx, out, 4 * n)) return fail("write", "./rgbx");
    i += n;
  }

  // Cut a regular output to what this run wrote, so no older, longer run's
  // pixels trail behind it. Devices and pipes are left as they are.
  struct stat st;
  if (fstat(rgbx, &st) == 0 && S_ISREG(st.st_mode) &&
      ftruncate(rgbx, off_t{4} * i) != 0)
    return fail("write", "./rgbx");
  close(fd_r);
  close(fd_g);
  close(fd_b);
  if (close(rgbx) != 0) return fail("write", "./rgbx");
  return 0;
}
