#!/usr/bin/env bash
# Whole-run timings as ratios of medians taken in one hyperfine run, so that
# the machine's noise hits every command alike; run it several times and
# report the range. Every writing run starts from a fresh output with the
# previous run's pages written back (sync), so none pays for another's
# writeback.
#   plaxen at the pixel bound (three 30,720,000-byte planes, a fresh ./rgbx
#   each run) against cp of a 122,880,000-byte file into the same folder,
#   with dd writing as many zeros as the page-cache floor; then against the
#   peers a user would reach for, where installed: ffmpeg (planar gbrp to
#   bgra), a numpy script and ImageMagick.
#   zentrel on two 122,880,000-byte files that differ in many places against
#   cmp on two identical files of that size, then against a numpy count.
# Usage: bench/speed.sh [plaxen|zentrel]...   (both by default; RUNS=N)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
bin=$root/build/release
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/work"
cd "$dir/work"
runs=${RUNS:-30}
py=/usr/bin/python3  # Debian's, with python3-numpy

ratios() {  # each median in hyperfine's JSON export against the first's
  python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["results"]
for x in r[1:]: print("median %s / %s = %.3f" % (x["command"], r[0]["command"], x["median"] / r[0]["median"]))' "$1"
}
has_numpy() { [ -x $py ] && $py -c 'import numpy' 2>/dev/null; }

jobs=("$@")
[ $# -gt 0 ] || jobs=(plaxen zentrel)
for tool in "${jobs[@]}"; do
  case $tool in
    plaxen)
      for c in r g b; do head -c 30720000 /dev/urandom >"../bgr_$c"; done
      head -c 122880000 /dev/urandom >../src
      sync
      hyperfine -N --warmup 3 --runs "$runs" --prepare 'sh -c "rm -f rgbx copy zero; sync"' \
        --export-json ../t.json 'cp ../src copy' "$bin/plaxen" \
        'dd if=/dev/zero of=zero bs=960000 count=128 status=none'
      ratios ../t.json
      rm -f rgbx
      /usr/bin/time -f 'plaxen peak resident memory: %M KiB' "$bin/plaxen"
      peers=()
      if command -v ffmpeg >/dev/null; then
        cat ../bgr_g ../bgr_b ../bgr_r >../gbrp  # ffmpeg's planar layout
        peers+=("ffmpeg -loglevel error -f rawvideo -pix_fmt gbrp -video_size 6400x4800 -i ../gbrp -f rawvideo -pix_fmt bgra rgbx")
      fi
      if has_numpy; then
        cat >../pack.py <<'PY'
import numpy as np
r, g, b = (np.fromfile("../bgr_" + c, np.uint8) for c in "rgb")
out = np.empty((r.size, 4), np.uint8)
out[:, 0], out[:, 1], out[:, 2], out[:, 3] = b, g, r, 255
out.tofile("rgbx")
PY
        peers+=("$py ../pack.py")
      fi
      [ -x /usr/bin/convert ] && peers+=("/usr/bin/convert -size 6400x4800 -depth 8 gray:../bgr_r gray:../bgr_g gray:../bgr_b -combine bgra:rgbx")
      if [ ${#peers[@]} -gt 0 ]; then
        hyperfine -N --warmup 1 --runs "${PEER_RUNS:-5}" --prepare 'sh -c "rm -f rgbx; sync"' \
          --export-json ../p.json "$bin/plaxen" "${peers[@]}"
        ratios ../p.json
      fi ;;
    zentrel)
      head -c 122880000 /dev/urandom >../a
      cp ../a ../same
      head -c 122880000 /dev/urandom >../b  # differs almost everywhere
      hyperfine -N --warmup 3 --runs "$runs" --export-json ../t.json \
        'cmp ../a ../same' "$bin/zentrel ../a ../b"
      ratios ../t.json
      /usr/bin/time -f 'zentrel peak resident memory: %M KiB' "$bin/zentrel" ../a ../b
      if has_numpy; then
        cat >../count.py <<'PY'
import numpy as np
a, b = (np.fromfile(p, np.uint8).astype(np.int16) for p in ("../a", "../b"))
over = np.abs(a - b) > 3
over[3::4] = False
print(a.size, over.sum())
PY
        hyperfine -N --warmup 1 --runs "${PEER_RUNS:-5}" --export-json ../p.json \
          "$bin/zentrel ../a ../b" "$py ../count.py"
        ratios ../p.json
      fi ;;
    *) echo "unknown job: $tool" >&2; exit 2 ;;
  esac
done
