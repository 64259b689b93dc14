#!/usr/bin/env bash
# Whole-run timings as ratios of medians taken in one hyperfine run, so that
# the machine's noise hits every command alike; run it several times and
# report the range. The inputs are written first and so sit in the page
# cache; every writing run starts from a fresh output with the previous
# run's pages written back (sync), so none pays for another's writeback.
# The inputs are written in 4 MiB pieces, as a program writing a whole plane
# at once does; the page cache then holds them in large pieces, which every
# reader (cat too) reads about twice as fast as a file written in 4 KiB
# pieces, as head -c writes (INPUT_BS=4k to time that).
#   plaxen at the pixel bound (three 30,720,000-byte planes, a fresh ./rgbx
#   each run) against its floor, dd writing 117 MiB of zeros (writing alone),
#   and beside it cp of a 122,880,000-byte file into the same folder; then
#   the peers a user would reach for, where installed, against plaxen:
#   ffmpeg (planar gbrp to bgra), a numpy script and ImageMagick.
#   zentrel on two 122,880,000-byte files (BYTES=N for another size) that
#   differ almost everywhere against cat reading both files to /dev/null,
#   and against its floor, bench/floor_read.cpp reading both files in its
#   turns; beside it bench/floor_map.cpp mapping them in 4 MiB windows and
#   touching every byte (what comparing files where the page cache holds
#   them could reach), and cmp on two identical files of that size; then a
#   numpy count against zentrel. The inputs are written back to disk first
#   (sync) unless FRESH=1, which leaves them dirty, as a reader right after
#   the writer finds them.
# Each tool's peak resident memory follows its timings, and the load average
# is shown before and after, as a busy machine widens the ranges.
# Usage: bench/speed.sh [--tmpfs] [plaxen|zentrel]...
#   Both tools by default, in a folder under $BENCH_DIR (default /tmp), or
#   under /dev/shm with --tmpfs. RUNS=N (default 30) and PEER_RUNS=N
#   (default 5) set the number of timed runs, INPUT_BS=N (default 4M) the
#   pieces the inputs are written in.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/common.sh"
shift "$shifted"
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
bin=$root/build/release
cd "$dir/work"
peer_runs=${PEER_RUNS:-5}
bytes=${BYTES:-122880000}
py=/usr/bin/python3  # Debian's, with python3-numpy
peak() {  # peak resident memory of one run of the command
  /usr/bin/time -f '%M' -o ../rss "$@" >/dev/null
  echo "  $(basename "$1") peak resident memory: $(cat ../rss) KiB"
}
has_numpy() { [ -x $py ] && $py -c 'import numpy' 2>/dev/null; }

jobs=("$@")
[ $# -gt 0 ] || jobs=(plaxen zentrel)
for tool in "${jobs[@]}"; do
  case $tool in
    plaxen)
      for c in r g b; do make_input 30720000 "../bgr_$c"; done
      make_input 122880000 ../src
      sync
      echo "plaxen, against its floor:"
      hyperfine -N --style none --warmup 3 --runs "$runs" \
        --prepare 'sh -c "rm -f rgbx copy out; sync"' --export-json ../t.json \
        -n dd 'dd if=/dev/zero of=out bs=1M count=117' \
        -n plaxen "$bin/plaxen" -n cp 'cp ../src copy' >/dev/null
      ratios ../t.json
      rm -f rgbx
      peak "$bin/plaxen"
      peers=()
      if command -v ffmpeg >/dev/null; then
        cat ../bgr_g ../bgr_b ../bgr_r >../gbrp  # ffmpeg's planar layout
        peers+=(-n ffmpeg "ffmpeg -loglevel error -f rawvideo -pix_fmt gbrp -video_size 6400x4800 -i ../gbrp -f rawvideo -pix_fmt bgra rgbx")
      fi
      if has_numpy; then
        cat >../pack.py <<'PY'
import numpy as np
r, g, b = (np.fromfile("../bgr_" + c, np.uint8) for c in "rgb")
out = np.empty((r.size, 4), np.uint8)
out[:, 0], out[:, 1], out[:, 2], out[:, 3] = b, g, r, 255
out.tofile("rgbx")
PY
        peers+=(-n numpy "$py ../pack.py")
      fi
      [ -x /usr/bin/convert ] && peers+=(-n magick "/usr/bin/convert -size 6400x4800 -depth 8 gray:../bgr_r gray:../bgr_g gray:../bgr_b -combine bgra:rgbx")
      if [ ${#peers[@]} -gt 0 ]; then
        echo "peers, against plaxen:"
        hyperfine -N --style none --warmup 1 --runs "$peer_runs" \
          --prepare 'sh -c "rm -f rgbx; sync"' --export-json ../p.json \
          -n plaxen "$bin/plaxen" "${peers[@]}" >/dev/null
        ratios ../p.json
      fi
      rm -f ../bgr_? ../src ../gbrp rgbx ;;
    zentrel)
      make_input "$bytes" ../a
      dd if=../a of=../same bs="$input_bs" status=none
      make_input "$bytes" ../b  # differs almost everywhere
      [ "${FRESH:-0}" = 1 ] || sync
      floors
      echo "zentrel, against cat and its floor:"
      hyperfine -N --style none --warmup 3 --runs "$runs" --export-json ../t.json \
        -n cat 'cat ../a ../b' -n zentrel "$bin/zentrel ../a ../b" \
        -n read-floor "$dir/floor_read ../a ../b" \
        -n map-floor "$dir/floor_map ../a ../b" \
        -n cmp 'cmp ../a ../same' >/dev/null
      ratios ../t.json
      ratios ../t.json read-floor | grep -E '^  (zentrel|map-floor) '
      peak "$bin/zentrel" ../a ../b
      if has_numpy; then
        cat >../count.py <<'PY'
import numpy as np
a, b = (np.fromfile(p, np.uint8).astype(np.int16) for p in ("../a", "../b"))
over = np.abs(a - b) > 3
over[3::4] = False
print(a.size, over.sum())
PY
        echo "peers, against zentrel:"
        hyperfine -N --style none --warmup 1 --runs "$peer_runs" --export-json ../p.json \
          -n zentrel "$bin/zentrel ../a ../b" -n numpy "$py ../count.py" >/dev/null
        ratios ../p.json
      fi
      rm -f ../a ../b ../same ;;
    *) echo "unknown job: $tool" >&2; exit 2 ;;
  esac
done
echo "load:$(cut -d' ' -f1-3 /proc/loadavg)"
