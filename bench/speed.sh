#!/usr/bin/env bash
# Each tool's time on its full-size input beside its floor (a program making
# the same system calls) and its peers (what a user would reach for instead),
# from one run on this machine, as one table, a chart and the raw figures.
#   plaxen at the pixel bound (three 30,720,000-byte planes, a fresh ./rgbx
#   each run); floor: dd writing the same 122,880,000 bytes of zeros in
#   plaxen's 256 KiB writes; peers, where installed: ffmpeg (planar gbrp to
#   bgra), ImageMagick and a numpy script.
#   zentrel on two 122,880,000-byte files (BYTES=N for another size) that
#   differ almost everywhere; floors: cat reading both files to /dev/null and
#   bench/floor_read.cpp making zentrel's reads and nothing else; peers: cmp
#   on two identical files of that size and a numpy count. Beside them, not
#   in the table: bench/floor_map.cpp, mapping both files in 4 MiB windows
#   and touching every byte (a map-floor / read-floor well below 1 marks a
#   machine where comparing the files where the page cache holds them would
#   pay).
# Each ratio is of medians taken in one hyperfine run, so that the machine's
# noise hits both alike: the floors are timed with the tool RUNS times
# (default 30), the peers, being slower, with the tool again PEER_RUNS times
# (default 5). Run it several times and take the range. The inputs are
# written first, in pieces of INPUT_BS (default 4M, as a program writing a
# whole plane at once does) and so sit in the page cache; every writing run
# starts from a fresh output with the previous run's pages written back
# (sync). zentrel's inputs are written back too, unless FRESH=1, which leaves
# them dirty, as a reader right after the writer finds them. Each tool's peak
# resident memory and the load average before and after are recorded.
# Usage: bench/speed.sh [--tmpfs] [plaxen|zentrel]...
#   Both tools by default, in a folder under $BENCH_DIR (default /tmp), or
#   under /dev/shm with --tmpfs. Prints the table and writes it, with the
#   figures and the chart, to $OUT (default build/speed): speed.md, speed.csv
#   and speed.png (gnuplot, when installed).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/common.sh"
shift "$shifted"
(cd "$root" && cmake --preset release >/dev/null && cmake --build build/release >/dev/null)
bin=$root/build/release
out=$(mkdir -p "${OUT:-$root/build/speed}" && cd "${OUT:-$root/build/speed}" && pwd)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
cd "$dir/work"
peer_runs=${PEER_RUNS:-5}
bytes=${BYTES:-122880000}
py=/usr/bin/python3  # Debian's, with python3-numpy
memory=()
peak() {  # tool args...: peak resident memory of one run of the tool
  /usr/bin/time -f '%M' -o ../rss "$bin/$1" "${@:2}" >/dev/null
  echo "  $1 peak resident memory: $(cat ../rss) KiB"
  memory+=("$1=$(cat ../rss)")
}
has_numpy() { [ -x $py ] && $py -c 'import numpy' 2>/dev/null; }

jobs=("$@")
[ $# -gt 0 ] || jobs=(plaxen zentrel)
for tool in "${jobs[@]}"; do
  case $tool in
    plaxen)
      for c in r g b; do make_input 30720000 "../bgr_$c"; done
      sync
      echo "plaxen, against its floor:"
      hyperfine -N --style none --warmup 3 --runs "$runs" \
        --prepare 'sh -c "rm -f rgbx out; sync"' --export-json ../plaxen-floor.json \
        -n plaxen "$bin/plaxen" \
        -n dd 'dd if=/dev/zero of=out bs=256K count=122880000 iflag=count_bytes' >/dev/null
      ratios ../plaxen-floor.json
      rm -f rgbx out
      peak plaxen
      peers=()
      if command -v ffmpeg >/dev/null; then
        cat ../bgr_g ../bgr_b ../bgr_r >../gbrp  # ffmpeg's planar layout
        peers+=(-n ffmpeg "ffmpeg -loglevel error -f rawvideo -pix_fmt gbrp -video_size 6400x4800 -i ../gbrp -f rawvideo -pix_fmt bgra rgbx")
      fi
      [ -x /usr/bin/convert ] && peers+=(-n magick "/usr/bin/convert -size 6400x4800 -depth 8 gray:../bgr_r gray:../bgr_g gray:../bgr_b -combine bgra:rgbx")
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
      if [ ${#peers[@]} -gt 0 ]; then
        echo "peers, against plaxen:"
        hyperfine -N --style none --warmup 1 --runs "$peer_runs" \
          --prepare 'sh -c "rm -f rgbx; sync"' --export-json ../plaxen-peers.json \
          -n plaxen "$bin/plaxen" "${peers[@]}" >/dev/null
        ratios ../plaxen-peers.json
      fi
      rm -f ../bgr_? ../gbrp rgbx ;;
    zentrel)
      make_input "$bytes" ../a
      dd if=../a of=../same bs="$input_bs" status=none
      make_input "$bytes" ../b  # differs almost everywhere
      [ "${FRESH:-0}" = 1 ] || sync
      floors
      echo "zentrel, against its floors:"
      hyperfine -N --style none --warmup 3 --runs "$runs" --export-json ../zentrel-floor.json \
        -n zentrel "$bin/zentrel ../a ../b" -n cat 'cat ../a ../b' \
        -n read-floor "$dir/floor_read ../a ../b" \
        -n map-floor "$dir/floor_map ../a ../b" >/dev/null
      ratios ../zentrel-floor.json
      ratios ../zentrel-floor.json read-floor | grep -E '^  map-floor '
      peak zentrel ../a ../b
      peers=(-n cmp 'cmp ../a ../same')
      if has_numpy; then
        cat >../count.py <<'PY'
import numpy as np
a, b = (np.fromfile(p, np.uint8).astype(np.int16) for p in ("../a", "../b"))
over = np.abs(a - b) > 3
over[3::4] = False
print(a.size, over.sum())
PY
        peers+=(-n numpy "$py ../count.py")
      fi
      echo "peers, against zentrel:"
      hyperfine -N --style none --warmup 1 --runs "$peer_runs" --export-json ../zentrel-peers.json \
        -n zentrel "$bin/zentrel ../a ../b" "${peers[@]}" >/dev/null
      ratios ../zentrel-peers.json
      rm -f ../a ../b ../same ;;
    *) echo "unknown job: $tool" >&2; exit 2 ;;
  esac
done

# The machine, then one row a command: the tool's own seconds from the run
# with its floors, every other command's seconds and ratio to the tool from
# the run it was timed in.
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$bin/CMakeCache.txt")
machine="$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
machine+=" ($(nproc) cores), $(uname -s) $(uname -r), $(df --output=fstype "$dir" | tail -n 1)"
case $("$cxx" --version) in *clang*) compiler=clang ;; *) compiler=GCC ;; esac
compiler+=" $("$cxx" -dumpfullversion 2>/dev/null || "$cxx" -dumpversion)"
machine+=", $compiler, $(date -u '+%Y-%m-%d %H:%M UTC')"
python3 - "$out" "$bytes" "$machine" "$load_before" \
  "$(cut -d' ' -f1-3 /proc/loadavg)" "${memory[@]}" <<'PY'
import csv, json, os, sys
out, size, machine, before, after = sys.argv[1:6]
memory = dict(m.split("=") for m in sys.argv[6:])
size = f"{int(size):,}"
what = {
    "plaxen": ("tool", "3 x 30,720,000-byte planes to a fresh ./rgbx"),
    "dd": ("floor", "dd writing the same 122,880,000 bytes in 256 KiB writes"),
    "ffmpeg": ("peer", "ffmpeg: planar gbrp to bgra"),
    "magick": ("peer", "ImageMagick: -combine to bgra"),
    "numpy": ("peer", "a numpy script"),
    "zentrel": ("tool", f"two {size}-byte files differing almost everywhere"),
    "cat": ("floor", "cat of both files to /dev/null"),
    "read-floor": ("floor", "bench/floor_read.cpp: zentrel's reads alone"),
    "map-floor": ("study", "bench/floor_map.cpp: both files mapped and touched"),
    "cmp": ("peer", "cmp on two identical files"),
}
rows = []
for tool in ("plaxen", "zentrel"):
    for run in ("floor", "peers"):
        path = f"../{tool}-{run}.json"
        if not os.path.exists(path):
            continue
        results = json.load(open(path))["results"]
        base = next(r for r in results if r["command"] == tool)
        for r in results:
            if r["command"] == tool and run == "peers":
                continue
            kind, text = what[r["command"]]
            if r["command"] == "numpy" and tool == "zentrel":
                text = "a numpy count of the same"
            rows.append({
                "tool": tool, "kind": kind, "name": r["command"],
                "runs": len(r["times"]), "median_s": r["median"],
                "mean_s": r["mean"], "stddev_s": r["stddev"],
                "min_s": r["min"], "max_s": r["max"],
                "user_s": r["user"], "system_s": r["system"],
                "ratio": r["median"] / base["median"],
                "peak_kib": memory.get(r["command"], "") if kind == "tool" else "",
                "what": text})
rows.sort(key=lambda r: r["kind"] == "study")  # those last, out of the chart
note = f"{machine}; load average {before} before, {after} after"
with open(f"{out}/speed.csv", "w", newline="") as f:
    f.write(f"# {note}\n# " + ",".join(rows[0]) + "\n")
    csv.writer(f, lineterminator="\n").writerows(r.values() for r in rows)
with open(f"{out}/speed.md", "w") as f:
    f.write(f"{note}\n\n| | run | seconds | ratio to the tool |\n"
            "|---|---|--:|--:|\n")
    for r in rows:
        if r["kind"] != "study":
            who = "**%s**" % r["tool"] if r["kind"] == "tool" else r["kind"]
            ratio = "%.0f" % r["ratio"] if r["ratio"] >= 10 else "%.2f" % r["ratio"]
            f.write("| %s | %s | %.3g | %s |\n" % (who, r["what"], r["median_s"], ratio))
print(open(f"{out}/speed.md").read(), end="")
PY
if command -v gnuplot >/dev/null; then
  gnuplot -e "data='$out/speed.csv'; title='${machine//\'/\'\'}'" \
    -e "set output '$out/speed.png'" "$root/bench/speed.gp"
fi
echo "figures in $out: speed.md, speed.csv$(command -v gnuplot >/dev/null && echo ', speed.png')"
