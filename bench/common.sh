# shellcheck shell=bash disable=SC2034 # its variables are used by the scripts that source it
# What bench/speed.sh and bench/turns.sh share, sourced by both after
# `set -euo pipefail`: a scratch folder with a work folder inside, under
# $BENCH_DIR (default /tmp) or under /dev/shm when the first argument is
# --tmpfs (then dropped from "$@" by the caller: `shift "$shifted"`), the
# inputs' writer and the ratios of a hyperfine export.
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
ratios() {  # each median wall time, and mean CPU time (user + system), in
  # hyperfine's JSON export against the first command's; on a busy machine the
  # CPU times vary less
  python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["results"]
cpu = lambda x: x["user"] + x["system"]
for x in r[1:]: print("  %-14s / %-7s = %.3f   (CPU time %.3f)" % (x["command"], r[0]["command"], x["median"] / r[0]["median"], cpu(x) / cpu(r[0])))' "$1"
}
