#!/usr/bin/env bash
# Whole-run timings against the standard tools, as ratios of medians taken in
# one hyperfine run each, so that the machine's noise hits both sides alike:
#   plaxen at the pixel bound (three 30,720,000-byte planes, no ./rgbx before
#   each run) against cp copying a 122,880,000-byte file into the same folder;
#   zentrel on two 122,880,000-byte files that differ in many places against
#   cmp on two identical files of that size.
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

ratio() {  # ratio of the two medians in hyperfine's JSON export
  python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["results"]
print("median %s / %s = %.3f" % (r[0]["command"], r[1]["command"], r[0]["median"] / r[1]["median"]))' "$1"
}

jobs=("$@")
[ $# -gt 0 ] || jobs=(plaxen zentrel)
for tool in "${jobs[@]}"; do
  case $tool in
    plaxen)
      for c in r g b; do head -c 30720000 /dev/urandom >"../bgr_$c"; done
      head -c 122880000 /dev/urandom >../src
      hyperfine -N --warmup 3 --runs "${RUNS:-30}" --prepare 'rm -f rgbx copy' \
        --export-json ../t.json "$bin/plaxen" 'cp ../src copy'
      rm -f rgbx
      /usr/bin/time -f 'plaxen peak resident memory: %M KiB' "$bin/plaxen" ;;
    zentrel)
      head -c 122880000 /dev/urandom >../a
      cp ../a ../same
      head -c 122880000 /dev/urandom >../b  # differs almost everywhere
      hyperfine -N --warmup 3 --runs "${RUNS:-30}" --export-json ../t.json \
        "$bin/zentrel ../a ../b" 'cmp ../a ../same'
      /usr/bin/time -f 'zentrel peak resident memory: %M KiB' "$bin/zentrel" ../a ../b ;;
    *) echo "unknown job: $tool" >&2; exit 2 ;;
  esac
  ratio ../t.json
done
