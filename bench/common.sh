# shellcheck shell=bash disable=SC2034 # its variables are used by the scripts that source it
# What bench/speed.sh and bench/turns.sh share, sourced by both after
# `set -euo pipefail`: a scratch folder with a work folder inside, under
# $BENCH_DIR (default /tmp) or under /dev/shm when the first argument is
# --tmpfs (then dropped from "$@" by the caller: `shift "$shifted"`), the
# inputs' writer, zentrel's two floor programs and the ratios of a hyperfine
# export.
base=${BENCH_DIR:-/tmp}
shifted=0
if [ "${1:-}" = --tmpfs ]; then
  base=/dev/shm
  shifted=1
fi
dir=$(mktemp -d -p "$base")
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/work"
echo "in $dir ($(df --output=fstype "$dir" | tail -n 1)); load:$(cut -d' ' -f1-3 /proc/loadavg)"
runs=${RUNS:-30}
input_bs=${INPUT_BS:-4M}
make_input() {  # size path: random bytes, written in pieces of $input_bs
  head -c "$1" /dev/urandom | dd of="$2" bs="$input_bs" iflag=fullblock status=none
}
floors() {  # builds zentrel's floors into $dir: floor_read reads both files
  # in zentrel's turns, floor_map maps them in 4 MiB windows and touches every
  # byte
  for f in read map; do
    g++ -O3 -o "$dir/floor_$f" "$root/bench/floor_$f.cpp"
  done
}
ratios() {  # each median wall time, and mean CPU time (user + system), in
  # hyperfine's JSON export against the first command's, or that of the
  # command named by the second argument; on a busy machine the CPU times
  # vary less
  python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["results"]
base = [x for x in r if x["command"] == sys.argv[2]][0] if len(sys.argv) > 2 else r[0]
cpu = lambda x: x["user"] + x["system"]
for x in r:
  if x is not base: print("  %-14s / %-10s = %.3f   (CPU time %.3f)" % (x["command"], base["command"], x["median"] / base["median"], cpu(x) / cpu(base)))' "$@"
}
