#!/bin/bash
# shellcheck disable=SC2016 # single-quoted bodies are for sh -c, names are data
# Times the batch scripts in examples/ against their floors, in the same
# rounds, and counts hung runs of the ssh way:
#   frames    pack-frames -j J --golden over FRAMES frames of 1920x1080,
#             against plaxen and zentrel alone over the same frames in a
#             plain xargs -P J loop (links, plaxen, zentrel, rename);
#   pictures  pack-pictures -j J over PICTURES photos of 4000x3000 (JPEG,
#             quality 90), against one ImageMagick decode per picture
#             writing the packed file (convert IMG -alpha opaque -depth 8
#             bgra:OUT, xargs -P J), with bench/old-batch-block.sh (the
#             README's former one-machine block, -P nproc) in the same
#             rounds; then the disk left per picture by each;
#   ssh       SSH_RUNS runs of both scripts with --hosts on three logins of
#             an sshd of the run's own (tests/machines.sh; root only), the
#             ssh options in PARALLEL_SSH ("ssh -F FILE" and "ssh -o
#             BatchMode=yes" in turn); a run still going 60 s after its
#             report's last line is counted as hung, and ended.
# Each round runs each command once under hyperfine; the ratios are wall
# time (and CPU time, user + system of all the children) over the floor's in
# that round. Run as root from anywhere:
#   bench/batch.sh [-h] PLAXEN [SSHD]       (zentrel is beside plaxen)
# Environment: RUNS rounds (3), JOBS the -j (nproc), PARTS what to run
# ("frames pictures ssh"), SSH_RUNS (4), DATA a folder to keep the inputs in
# and take them from on the next run (default: made afresh in the scratch
# folder), FRAMES (200) and PICTURES (40) when the inputs are made.
set -euo pipefail
if [ "${1:-}" = -h ] || [ "${1:-}" = --help ] || [ $# -lt 1 ]; then
  sed -n '3,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"
  exit $(($# < 1 ? 2 : 0))
fi
src=$(cd "$(dirname "$0")/.." && pwd)
tools=$(dirname "$(realpath "$1")")
export PATH="$tools:$PATH"
runs=${RUNS:-3} jobs=${JOBS:-$(nproc)} parts=${PARTS:-frames pictures ssh}
# shellcheck disable=SC2034 # users and server are tests/machines.sh's
dir=$(mktemp -d) users='' server='' as='' home=$dir
data=${DATA:-$dir/data}
# shellcheck source=tests/machines.sh source-path=SCRIPTDIR/..
. "$src/tests/machines.sh"
trap 'machines_down; rm -rf "$dir"' EXIT
trap 'exit 1' HUP INT TERM
fail() {
  echo "$*" >&2
  exit 1
}
echo "$(date -u '+%F %H:%M UTC'); $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores;" \
  "kernel $(uname -r); $(df --output=fstype "$dir" | tail -n 1) in $dir; -j $jobs; $runs rounds"

# Frames: testsrc2, mandelbrot, testsrc2 with noise and cellauto, 1920x1080,
# split from ffmpeg's gbrp (planes G, B, R) into r, g, b; the goldens are
# plaxen's packing, five of them changed afterwards: 0007 one sample, 0042
# four, 0100 about 1 % of its bytes, 0150 a row, 0199 only fourth bytes
# (never compared, so still ok).
make_frames() {
  local n=0 wh=$((1920 * 1080)) f d part per=$(((${FRAMES:-200} + 3) / 4))
  # shellcheck disable=SC2054 # the commas are ffmpeg's
  local srcs=(testsrc2=size=1920x1080 mandelbrot=size=1920x1080
    testsrc2=size=1920x1080,noise=alls=30:allf=t
    cellauto=size=1920x1080:rule=110,format=rgb24,hue=h=t*20:s=2)
  mkdir -p "$data/frames" "$data/golden" "$data/raw"
  for part in 0 1 2 3; do
    ffmpeg -nostdin -loglevel error -f lavfi -i "${srcs[part]}" -frames:v "$per" \
      -f rawvideo -pix_fmt gbrp - | split -b $((3 * wh)) -d -a 4 - "$data/raw/p$part."
  done
  for f in "$data"/raw/p*; do
    [ "$n" -lt "${FRAMES:-200}" ] || break
    d=$data/frames/$(printf %04d "$n") && mkdir "$d" && n=$((n + 1))
    split -b "$wh" -d -a 1 "$f" "$d/x" && mv "$d/x0" "$d/g" && mv "$d/x1" "$d/b" && mv "$d/x2" "$d/r"
  done
  rm -rf "$data/raw"
  pack_floor "$data/frames" "$data/golden" ''
  python3 - "$data/golden" <<'EOF'
import os, sys
def flip(name, offsets):
    p = os.path.join(sys.argv[1], name + ".rgbx")
    if not os.path.exists(p):
        return
    with open(p, "r+b") as f:
        for o in offsets:
            f.seek(o); b = f.read(1)[0]; f.seek(o); f.write(bytes([b ^ 0x80]))
flip("0007", [1000])
flip("0042", [5, 400001, 800002, 8000002])
flip("0100", range(2 << 20, (2 << 20) + 82944, 1))
flip("0150", range(500 * 7680, 501 * 7680, 1))
flip("0199", range(3, 4000, 4))
EOF
}
# pack_floor FRAMES OUT GOLDEN: plaxen (and, given GOLDEN, zentrel) alone
# over every frame, -P $jobs: the frames job's floor, and the goldens' maker.
pack_floor() {
  find "$1" -mindepth 1 -maxdepth 1 -printf '%f\0' | G=$3 O=$2 F=$1 xargs -0 -n 1 -P "$jobs" sh -c '
    t=$O/.floor-$1 && mkdir -p "$t/work" && ln -s "$F/$1/r" "$t/bgr_r" &&
      ln -s "$F/$1/g" "$t/bgr_g" && ln -s "$F/$1/b" "$t/bgr_b" &&
      (cd "$t/work" && plaxen >/dev/null) &&
      { [ -z "$G" ] || printf "%s: %s\n" "$1" "$(zentrel "$G/$1.rgbx" "$t/work/rgbx" | tail -n 1)"; } &&
      mv "$t/work/rgbx" "$O/$1.rgbx" && rm -rf "$t"' sh
}
# Photos: ImageMagick's plasma fractals, gradients and swirls with noise
# over them, so that they do not compress to nothing.
make_photos() {
  mkdir -p "$data/photos"
  seq "${PICTURES:-40}" | D=$data/photos xargs -n 1 -P "$jobs" bash -c '
    i=$1 n=$D/photo-$(printf %02d "$1").jpg
    case $((i % 4)) in
    0) convert -seed "$i" -size 4000x3000 plasma:fractal -attenuate 0.4 +noise Gaussian -quality 90 "$n" ;;
    1) convert -seed "$i" -size 4000x3000 plasma:red-blue -blur 0x2 -attenuate 0.3 +noise Gaussian -quality 90 "$n" ;;
    2) convert -seed "$i" -size 4000x3000 gradient:navy-orange \( -size 4000x3000 plasma:fractal -blur 0x4 \) \
      -compose overlay -composite -attenuate 0.5 +noise Gaussian -quality 90 "$n" ;;
    3) convert -seed "$i" -size 4000x3000 plasma:green-yellow -swirl 90 -attenuate 0.4 +noise Gaussian -quality 90 "$n" ;;
    esac' sh
}
has() { [[ " $parts " == *" $1 "* ]]; }
[ -d "$data/frames" ] || ! has frames || make_frames
[ -d "$data/photos" ] || ! has pictures || make_photos
# The pictures job's floor: one ImageMagick decode per picture, writing the
# packed file.
pic_floor() {
  find "$1/" -mindepth 1 -maxdepth 1 -printf '%f\0' | D=$1 O=$2 xargs -0 -n 1 -P "$jobs" sh -c '
    convert "$D/$1" -alpha opaque -depth 8 "bgra:$O/$1.rgbx"' sh
}
export -f pack_floor pic_floor
export jobs

# ratios JSON: each command's wall and CPU time, and both over the first's.
ratios() {
  python3 -c 'import json,sys
r = json.load(open(sys.argv[1]))["results"]; cpu = lambda x: x["user"] + x["system"]
for x in r: print("  %-16s wall %7.2f s  CPU %7.2f s   x %.2f wall, x %.2f CPU" % (x["command"],
  x["median"], cpu(x), x["median"] / r[0]["median"], cpu(x) / cpu(r[0])))' "$1"
}
# round NAME CMD...: one hyperfine round, each command once after emptying
# $dir/out; the names come from -n in CMD.
round() {
  local name=$1
  shift
  hyperfine -S bash --runs 1 --style none --prepare "rm -rf '$dir/out' && mkdir '$dir/out'" \
    --export-json "$dir/$name.json" "$@" >/dev/null
  echo "$name, load $(cut -d ' ' -f 1-3 /proc/loadavg):" && ratios "$dir/$name.json"
}
ex=$src/examples
if has frames; then
  n=$(find "$data/frames" -mindepth 1 -maxdepth 1 | wc -l)
  echo "frames job: $n frames, against plaxen and zentrel alone (xargs -P $jobs)"
  for r in $(seq "$runs"); do
    round "frames-$r" -n floor "pack_floor '$data/frames' '$dir/out' '$data/golden' >/dev/null" \
      -n pack-frames "'$ex/pack-frames' -j $jobs --golden '$data/golden' '$data/frames' '$dir/out' >'$dir/frames.report' || true"
  done
  echo "  pack-frames' summary: $(tail -n 1 "$dir/frames.report")"
fi

if has pictures; then
  n=$(find "$data/photos" -mindepth 1 -maxdepth 1 | wc -l)
  mkdir "$dir/block" && ln -s "$data/photos" "$dir/block/images"
  echo "pictures job: $n photos, against one decode each (xargs -P $jobs); the old block runs -P $(nproc)"
  for r in $(seq "$runs"); do
    round "pictures-$r" -n floor "pic_floor '$data/photos' '$dir/out'" \
      -n pack-pictures "'$ex/pack-pictures' -j $jobs '$data/photos' '$dir/out' >'$dir/pictures.report' || true" \
      -n old-block "cd '$dir/block' && rm -rf packed && '$src/bench/old-batch-block.sh' >/dev/null"
  done
  echo "  pack-pictures' summary: $(tail -n 1 "$dir/pictures.report")"
  # Disk left per picture by each, after a run of its own.
  per() { du -sb "$1" | awk -v n="$n" '{ printf "%.1f MB", $1 / n / 1e6 }'; }
  rm -rf "$dir/out"
  "$ex/pack-pictures" -j "$jobs" "$data/photos" "$dir/out" >/dev/null || true
  echo "disk left per picture: pack-pictures $(per "$dir/out")"
  rm -rf "$dir/out"
  "$ex/pack-pictures" -j "$jobs" --keep "$data/photos" "$dir/out" >/dev/null || true
  echo "  pack-pictures --keep $(per "$dir/out")"
  echo "  old block $(per "$dir/block/packed")"
  rm -rf "$dir/out" "$dir/block"
fi

# kill_tree PID: PID and every process under it, by their ids.
kill_tree() {
  local c
  for c in $(ps -o pid= --ppid "$1"); do kill_tree "$c"; done
  kill "$1" 2>/dev/null || true
}
if has ssh; then
  # A small batch of each kind, with the names' trap among them.
  mkdir -p "$dir/images/pictures" "$dir/images/frames"
  for p in logo rose wizard granite; do convert "$p:" "$dir/images/pictures/$p.png"; done
  cp "$dir/images/pictures/rose.png" "$dir/images/pictures/"'a $(touch x); b'\''c -d %d [1].png'
  wh=$((64 * 48))
  for f in 01 02 '$(touch y); 03'; do
    mkdir "$dir/images/frames/$f"
    for c in r g b; do head -c "$wh" /dev/urandom >"$dir/images/frames/$f/$c"; done
  done
  mkdir "$dir/examples" && cp "$ex"/* "$dir/examples"
  machines_up "${2:-/usr/sbin/sshd}" "$(printf '%s\n' 2/alpha 2/beta 2/gamma)"
  hung=0 total=${SSH_RUNS:-4}
  echo "ssh way: $total runs of each script over three logins, ssh options in PARALLEL_SSH"
  for r in $(seq "$total"); do
    if [ $((r % 2)) = 1 ]; then opt="ssh -F $home/.ssh/config"; else opt="ssh -o BatchMode=yes"; fi
    for job in pictures frames; do
      $as rm -rf "$dir/out.$job"
      start=$(date +%s)
      echo "examples/pack-$job -j 2 --hosts hosts images/$job out.$job" |
        fresh_bash "$dir" PARALLEL_SSH="$opt" >"$dir/ssh.out" 2>"$dir/ssh.err" &
      pid=$! ended='' done_at=''
      while [ -z "$ended" ]; do
        sleep 1
        if ! kill -0 "$pid" 2>/dev/null; then ended=yes
        elif [ -z "$done_at" ] && grep -q "^[0-9]* $job: " "$dir/ssh.out"; then done_at=$(date +%s)
        elif [ -n "$done_at" ] && [ $(($(date +%s) - done_at)) -ge 60 ]; then ended=hung
        elif [ $(($(date +%s) - start)) -ge 600 ]; then ended=hung
        fi
      done
      [ "$ended" = yes ] || { hung=$((hung + 1)) && kill_tree "$pid"; }
      wait "$pid" 2>/dev/null || true
      echo "  run $r, $job, PARALLEL_SSH=\"${opt/"$home"/\~}\": $((${done_at:-$(date +%s)} - start)) s," \
        "${ended/yes/ended}; $(tail -n 1 "$dir/ssh.out")"
    done
  done
  echo "ssh way: $hung of $((2 * total)) runs hung"
fi
