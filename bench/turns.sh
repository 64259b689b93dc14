#!/usr/bin/env bash
# The measurement behind each tool's turn size: copies of the tool built with
# other sizes, timed side by side with the floor (dd writing, cat reading) in
# one hyperfine run, as bench/speed.sh times the tool itself.
#   plaxen: turns of 32K, 64K, 128K and 256K pixels (its static buffers take
#   7 bytes a pixel); zentrel: 64K, 128K, 256K and 1M bytes per file (2 bytes
#   of buffer a byte). The copies are built as the release build is.
# The inputs are written as bench/speed.sh writes them.
# Usage: bench/turns.sh [--tmpfs] [plaxen|zentrel]...
#   (RUNS=N, default 30; INPUT_BS=N, default 4M)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/common.sh"
shift "$shifted"
out=$root/build/turns
mkdir -p "$out"
flags="-std=c++20 -O3 -DNDEBUG -D_FILE_OFFSET_BITS=64 -fno-exceptions -fno-rtti
  -fPIE -pie -fstack-protector-strong -fstack-clash-protection
  -D_FORTIFY_SOURCE=2 -Wl,-z,relro,-z,now"
case $(uname -m) in x86_64 | i?86) flags+=" -fcf-protection" ;; esac
variant() {  # tool size: builds the tool with that turn size, prints its path
  sed "s/^constexpr int chunk = .*;/constexpr int chunk = $2;/" \
    "$root/$1/$1.cpp" >"$out/$1_$2.cpp"
  grep -q "^constexpr int chunk = $2;" "$out/$1_$2.cpp"
  g++ $flags -o "$out/$1_$2" "$out/$1_$2.cpp"
  echo "$out/$1_$2"
}
cd "$dir/work"
jobs=("$@")
[ $# -gt 0 ] || jobs=(plaxen zentrel)
for tool in "${jobs[@]}"; do
  case $tool in
    plaxen)
      for c in r g b; do make_input 30720000 "../bgr_$c"; done
      sync
      cmds=()
      for n in 32768 65536 131072 262144; do
        cmds+=(-n "plaxen $((n / 1024))K" "$(variant plaxen $n)")
      done
      hyperfine -N --style none --warmup 3 --runs "$runs" \
        --prepare 'sh -c "rm -f rgbx out; sync"' --export-json ../t.json \
        -n dd 'dd if=/dev/zero of=out bs=1M count=117' "${cmds[@]}" >/dev/null
      ratios ../t.json
      rm -f ../bgr_? rgbx ;;
    zentrel)
      make_input 122880000 ../a
      make_input 122880000 ../b
      cmds=()
      for n in 65536 131072 262144 1048576; do
        cmds+=(-n "zentrel $((n / 1024))K" "$(variant zentrel $n) ../a ../b")
      done
      hyperfine -N --style none --warmup 3 --runs "$runs" --export-json ../t.json \
        -n cat 'cat ../a ../b' "${cmds[@]}" >/dev/null
      ratios ../t.json
      rm -f ../a ../b ;;
    *) echo "unknown job: $tool" >&2; exit 2 ;;
  esac
done
echo "load:$(cut -d' ' -f1-3 /proc/loadavg)"
