// The read floor for zentrel: reads two files to their ends in turns of
// 256 KiB each, the first then the second, as zentrel's read loop does, and
// does nothing with the bytes. Usage: floor_read first second
#include <fcntl.h>
#include <unistd.h>

static char first[1 << 18], second[1 << 18];

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  int a = open(argv[1], O_RDONLY), b = open(argv[2], O_RDONLY);
  if (a < 0 || b < 0) return 1;
  while (read(a, first, sizeof first) > 0) {
    if (read(b, second, sizeof second) < 0) return 1;
  }
  return 0;
}
