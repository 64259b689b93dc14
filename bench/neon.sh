#!/usr/bin/env bash
# The NEON twins against the scalar ones: both tools cross-built for arm64
# twice, with NEON and without (-U__ARM_NEON leaves the scalar twins),
# timed whole under qemu-user on a 640x480x16 picture's worth of data. qemu
# translates NEON to host instructions, so the ratios are indicative only;
# real arm64 hardware is the measure.
# Needs g++-aarch64-linux-gnu, qemu-user and hyperfine. Usage: bench/neon.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
for v in neon:'' scalar:-U__ARM_NEON; do
  for tool in plaxen zentrel; do
    aarch64-linux-gnu-g++ -std=c++20 -O2 -D_FILE_OFFSET_BITS=64 ${v#*:} \
      -o "$dir/$tool-${v%%:*}" "$root/$tool/$tool.cpp"
  done
done
mkdir "$dir/work"
cd "$dir/work"
for c in r g b; do head -c 4915200 /dev/urandom >"../bgr_$c"; done
head -c 19660800 /dev/urandom >../a
head -c 19660800 /dev/urandom >../b
run="qemu-aarch64 -L /usr/aarch64-linux-gnu"
hyperfine -N --warmup 2 --runs "${RUNS:-10}" --prepare 'rm -f rgbx' \
  "$run ../plaxen-neon" "$run ../plaxen-scalar"
hyperfine -N --warmup 2 --runs "${RUNS:-10}" \
  "$run ../zentrel-neon ../a ../b" "$run ../zentrel-scalar ../a ../b"
