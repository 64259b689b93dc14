// demogen: makes the demo's sample data; part of the demo, not installed.
//
//   demogen planes DIR          writes DIR/bgr_r, bgr_g, bgr_b: a 640x480
//                               picture of colour bars over grey, red, green
//                               and blue ramps
//   demogen deviate IN OUT      copies the packed file IN to OUT with small
//                               changes at known places and prints how many
//                               bytes it moved by more than 3
//   demogen ppm IN OUT          writes the 640x480 packed file IN as a PPM
//   demogen diff IN OTHER OUT   writes IN as a faded PPM with each pixel
//                               where OTHER's blue, green or red differs by
//                               more than 3 in red, and prints how many
//                               samples differ so and how many pixels that
//                               marks
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr int width = 640, height = 480;

std::vector<unsigned char> load(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    std::cerr << "demogen: cannot read " << path << "\n";
    exit(1);
  }
  return {std::istreambuf_iterator<char>(f), {}};
}

void save(const std::string &path, const std::string &head,
          const std::vector<unsigned char> &data) {
  std::ofstream f(path, std::ios::binary);
  f << head;
  f.write(reinterpret_cast<const char *>(data.data()), data.size());
  if (!f.flush()) {
    std::cerr << "demogen: cannot write " << path << "\n";
    exit(1);
  }
}

void planes(const std::string &dir) {
  // White, yellow, cyan, green, magenta, red, blue, black at 75%.
  static const int bars[8][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191},
                                 {0, 191, 0},     {191, 0, 191}, {191, 0, 0},
                                 {0, 0, 191},     {0, 0, 0}};
  std::vector<unsigned char> p[3];
  for (auto &plane : p) plane.resize(width * height);
  for (int y = 0; y < height; y++)
    for (int x = 0; x < width; x++) {
      int ramp = x * 255 / (width - 1), at = y * width + x;
      for (int c = 0; c < 3; c++) {
        int band = (y - 320) / 40;  // 0 grey, 1 red, 2 green, 3 blue
        p[c][at] = y < 320 ? bars[x * 8 / width][c]
                           : (band == 0 || band == c + 1 ? ramp : 0);
      }
    }
  save(dir + "/bgr_r", "", p[0]);
  save(dir + "/bgr_g", "", p[1]);
  save(dir + "/bgr_b", "", p[2]);
}

// Moves byte k by d, towards the middle so that it never wraps.
void nudge(std::vector<unsigned char> &v, size_t k, int d) {
  v[k] = v[k] < 128 ? v[k] + d : v[k] - d;
}

void deviate(const std::string &in, const std::string &out) {
  std::vector<unsigned char> v = load(in);
  size_t pixels = v.size() / 4, beyond = 0;
  for (size_t p = 0; p < pixels; p++) {
    if (p % 97 == 0) nudge(v, 4 * p, 1 + p % 3);  // blue, within: 1 to 3
    if (p % 101 == 0) nudge(v, 4 * p + 1, 4 + p % 37), beyond++;  // green, 4+
    if (p % 89 == 0) nudge(v, 4 * p + 2, 3);  // red, right at the tolerance
    if (p % 89 == 44) nudge(v, 4 * p + 2, 4), beyond++;  // red, just past it
    if (p % 7 == 0) v[4 * p + 3] = 0;  // fourth bytes are never compared
  }
  save(out, "", v);
  std::cout << beyond << "\n";
}

// The packed pixels of v as a PPM's red, green and blue, cut or padded with
// black to 640x480.
std::vector<unsigned char> rgb(const std::vector<unsigned char> &v) {
  std::vector<unsigned char> out;
  for (size_t k = 0; k + 3 < v.size(); k += 4)
    out.insert(out.end(), {v[k + 2], v[k + 1], v[k]});
  out.resize(3 * width * height);
  return out;
}

void ppm(const std::string &in, const std::string &out) {
  save(out, "P6\n640 480\n255\n", rgb(load(in)));
}

// The planted differences are single samples a few steps off, too small to
// see side by side; marked in a strong colour over a faded copy (a quarter
// of each sample's distance from white), they stand out. Fourth bytes are
// left out, as zentrel leaves them out.
void diff(const std::string &in, const std::string &other,
          const std::string &out) {
  std::vector<unsigned char> a = load(in), b = load(other);
  std::vector<unsigned char> picture = rgb(a);
  for (auto &s : picture) s = 255 - (255 - s) / 4;
  size_t samples = 0, pixels = 0;
  for (size_t p = 0; p < size_t{width} * height; p++) {
    int over = 0;
    for (size_t k = 4 * p; k < 4 * p + 3; k++)
      if (k < a.size() && k < b.size() && std::abs(a[k] - b[k]) > 3) over++;
    if (over == 0) continue;
    samples += over, pixels++;
    picture[3 * p] = 255, picture[3 * p + 1] = 0, picture[3 * p + 2] = 0;
  }
  save(out, "P6\n640 480\n255\n", picture);
  std::cout << samples << " " << pixels << "\n";
}

}  // namespace

int main(int argc, char **argv) {
  std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "planes" && argc == 3)
    planes(argv[2]);
  else if (cmd == "deviate" && argc == 4)
    deviate(argv[2], argv[3]);
  else if (cmd == "ppm" && argc == 4)
    ppm(argv[2], argv[3]);
  else if (cmd == "diff" && argc == 5)
    diff(argv[2], argv[3], argv[4]);
  else {
    std::cerr << "usage: demogen planes DIR | deviate IN OUT | ppm IN OUT | "
                 "diff IN OTHER OUT\n";
    return 2;
  }
  return 0;
}
