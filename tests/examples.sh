#!/bin/sh
# Runs the scripts in examples/ as a user would, in a fresh environment, and
# checks what they print and leave behind: pack-pictures on a folder with a
# broken and a truncated picture and awkward names, kept and not, and
# pack-frames on frames that match their goldens, differ below and above a
# threshold, lack a plane or a golden, or are named as shell code. Given SSHD
# (as root), it runs both over real OpenSSH instead: an sshd of its own on
# 127.0.0.1, three accounts made for the run as the machines, and a fourth
# running the scripts, whose ~/.ssh/config names the three and a login the
# sshd refuses, the ssh options given in PARALLEL_SSH and --ssh. Given
# "slurm" (as root), it runs them as job arrays on a Slurm cluster of its
# own: one task cancelled, then in full.
# Usage: examples.sh EXAMPLES PLAXEN [SSHD | slurm] (zentrel is beside plaxen)
set -eu
examples=$(realpath "$1") tools=$(dirname "$(realpath "$2")") mode=${3:-}
here=$(dirname "$(realpath "$0")")
dir=$(mktemp -d) users='' server='' as='' home=$dir
. "$here/machines.sh"
trap 'machines_down; rm -rf "$dir"' EXIT
trap 'exit 1' HUP INT TERM
fail() {
  echo "$*"
  exit 1
}
# example SCRIPT ARGS...: the script run in $dir, in a fresh environment (as
# the user $as names, if set), the tools on PATH; NAME=VALUE words first set
# variables.
example() {
  (cd "$dir" && $as env -i PATH="$dir/ex:$tools:$PATH" HOME="$home" \
    ${SLURM_CONF:+SLURM_CONF="$SLURM_CONF"} timeout 170 env "$@")
}
mkdir "$dir/ex" && cp "$examples"/* "$dir/ex" && chmod -R a+rX "$dir/ex"

mkdir "$dir/images"
cd "$dir/images"
convert logo: logo.png
convert rose: -alpha set -channel A -fx 'i/w' +channel 'my.photo.v2.png'
convert wizard: -depth 16 -blur 0x1 'a 16-bit one.png'
# shellcheck disable=SC2016 # a name that runs a command if pasted into code
cp 'my.photo.v2.png' '$(touch PWNED).png'
# Names ImageMagick would read as a frame pattern or an option, a dot-name,
# and a link.
cp logo.png 'frame%d.png'
cp -- 'a 16-bit one.png' -dash.png
cp my.photo.v2.png .hidden.png
ln -s logo.png link.png
head -c 9000 logo.png >broken.png
# A truncated JPEG, which ImageMagick reads with a warning.
convert rose: rose.jpg && head -c 2000 rose.jpg >truncated.jpg && rm rose.jpg
if [ "$mode" = slurm ]; then
  for name in -lead.png "it's \"quoted\".png" 'a;b.png' .dot.png frame%d.png 'x[1].png' \
    'c:olon.png' 'ünï.png'; do
    cp -- logo.png "$name"
  done
fi
n=$(find . -mindepth 1 -maxdepth 1 -printf . | wc -c)
cd "$dir"

# Frames of 32x32 whose goldens ffmpeg packs from the same planes; below's
# golden differs in 2 samples (and a fourth byte, never compared), above's
# in 4, short's is cut short; noplane has no green plane, nogolden no golden.
mkdir frames golden
# shellcheck disable=SC2016 # a name that runs a command if pasted into code
for f in equal below above noplane nogolden short '$(touch PWNED);x'; do
  mkdir "frames/$f"
  for c in R G B; do head -c 1024 /dev/urandom | tr '\200-\377' '\000-\177' >"frames/$f/$c.raw"; done
  (cd "frames/$f" && cat G.raw B.raw R.raw) | ffmpeg -nostdin -loglevel error -f rawvideo \
    -pixel_format gbrp -video_size 32x32 -i - -f rawvideo -pix_fmt bgra "golden/$f.rgbx"
done
plant() {
  f=$1 && shift && for k; do printf '\377' | dd of="golden/$f.rgbx" bs=1 seek="$k" conv=notrunc 2>/dev/null; done
}
plant below 3 41 1000
plant above 0 5 2050 4094
truncate -s 4000 golden/short.rgbx && rm frames/noplane/G.raw golden/nogolden.rgbx
cat >frames.expected <<'END'
$(touch PWNED);x: ok, 0 of 3072 samples differ (i = 4096, number = 0)
above: FAIL, 4 of 3072 samples differ (i = 4096, number = 4), over the limit of 3
below: ok, 2 of 3072 samples differ (i = 4096, number = 2)
equal: ok, 0 of 3072 samples differ (i = 4096, number = 0)
nogolden: FAIL (no golden: golden/nogolden.rgbx)
noplane: not packed (no plane frames/noplane/G.raw)
short: FAIL (size differs from the golden: 4000 bytes, packed 4096)
7 frames: 3 ok, 3 FAIL, 1 not packed
END
# check_frames OUT REPORT: the report is the expected one, and the packed
# frames that match are their goldens.
check_frames() {
  cmp -s frames.expected "$2" || fail "frames report otherwise: $(cat "$2")"
  # shellcheck disable=SC2016
  for f in equal '$(touch PWNED);x'; do cmp "golden/$f.rgbx" "$1/$f.rgbx" || fail "$1/$f.rgbx"; done
}
frames="--planes R.raw,G.raw,B.raw --golden golden frames"

if [ -n "$mode" ] && [ "$mode" != slurm ]; then
  machines_up "$mode" "2/alpha
1/gone
2/beta
2/gamma"
  chown -R "pz$$u" "$dir/frames" "$dir/golden"
fi

# One line per picture: the good ones agree, the broken one is not packed,
# the truncated one is marked; then the summary, and status 1.
if example pack-pictures --keep images packed >report1 2>"$dir/err1"; then
  fail "a picture was not packed, yet status 0: $(cat report1)"
fi
if [ "$(grep -c ': ok, 0 of [0-9]* samples differ (i = [0-9]*, number = 0)' report1)" -ne $((n - 1)) ] ||
  [ "$(wc -l <report1)" -ne $((n + 1)) ] || ! grep -q '^broken.png: not packed (' report1 ||
  ! grep -q '^truncated.jpg: ok, .*(ImageMagick warned: Premature end of JPEG file)$' report1 ||
  [ "$(tail -n 1 report1)" != "$n pictures: $((n - 1)) ok, 0 FAIL, 1 not packed" ] ||
  [ -s "$dir/err1" ]; then
  fail "unexpected report: $(cat report1 "$dir/err1")"
fi
[ -z "$(find "$dir" -name PWNED)" ] || fail "a file name was run as code"
for f in packed/*.rgbx packed/.hidden.png.rgbx; do
  cmp "$f" "${f%.rgbx}/reference.rgbx" || fail "$f"
done
[ -z "$(find packed -name '.pack-*')" ] || fail "a run folder was left: $(ls -A packed)"
if [ -z "$mode" ]; then
  # Again, one at a time, keeping only the packed files: the same report.
  example pack-pictures -j 1 images packed2 >report2 2>&1 || :
  cmp -s report1 report2 || fail "a second run reports otherwise: $(cat report1 report2)"
  [ -z "$(find packed2 -mindepth 1 ! -name '*.rgbx')" ] || fail "left beside the packed files: $(ls -A packed2)"
  # The share counts three bytes of four (3 of 3072 here, not 4 of 4096).
  for limit in --max-share=0.001 --max-samples=3; do
    # shellcheck disable=SC2086 # $frames is the options, split at blanks
    if example pack-frames "${limit%=*}" "${limit#*=}" $frames fout >report3 2>"$dir/err3"; then
      fail "frames failed, yet status 0"
    fi
    check_frames fout report3
    [ ! -s "$dir/err3" ] || fail "more than the report: $(cat "$dir/err3")"
  done
  # examples/README.md's lines to look at packed files: the picture comes
  # back exactly, and the frames make a video of 6 frames.
  readme=$examples/README.md && ln -s fout out
  block 'Looking at packed files' | sed 's/^size=1920x1080$/size=32x32/' | fresh_bash "$dir" >out.txt 2>&1 ||
    fail "looking at packed files: $(cat out.txt)"
  [ "$(compare -metric AE images/logo.png logo-back.png null: 2>&1)" = 0 ] || fail "logo-back.png"
  [ "$(ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 video.mp4)" = 6 ] ||
    fail "video.mp4: $(ffprobe video.mp4 2>&1)"
  # While standard error is a terminal, a progress line on it.
  script -qec "env PATH='$dir/ex:$tools:$PATH' pack-frames $frames fout 2>&1 >/dev/null" /dev/null >tty.txt || :
  grep -q '7 of 7 done' tty.txt || fail "no progress on a terminal: $(cat tty.txt)"
  exit 0
elif [ "$mode" = slurm ]; then
  # shellcheck source=tests/slurm_recipe.sh
  . "$here/slurm_recipe.sh"
  exit
fi

# The first copy back of logo.png is cut: a cat on the machines' PATH sends
# part of what goes back, then kills the process that holds the job's ssh
# session there (parallel's perl). The job is run again and logo.png gets
# its verdict all the same.
mkdir -m 777 "$dir/once"
cat >"$dir/bin/cat" <<EOF
#!/bin/sh
name=\$(/bin/cat name 2>/dev/null)
case "\$1 \$name" in
"back.tar logo.png") mkdir "$dir/once/cut" 2>/dev/null || exec /bin/cat "\$@" ;;
*) exec /bin/cat "\$@" ;;
esac
head -c 100000 "\$1"
p=\$\$
while p=\$(cut -d ' ' -f 4 "/proc/\$p/stat") && [ "\$p" -gt 1 ]; do
  read -r c <"/proc/\$p/comm" && [ "\$c" = perl ] && kill -KILL "\$p" && break
done
exit 1
EOF
chmod 755 "$dir/bin/cat"
# The ssh options go where they made parallel's --controlmaster hang.
# status WANT: $st (set by the run before) is WANT; 124 is a hang.
status() {
  w=$1 && shift
  [ "$st" != 124 ] || fail "the ssh way hung: $(cat "$@")"
  [ "$st" = "$w" ] || fail "status $st, not $w: $(cat "$@")"
}
st=0 && example PARALLEL_SSH="ssh -o BatchMode=yes" pack-pictures --keep --hosts hosts images back \
  >report3 2>"$dir/err3" || st=$?
status 1 report3 "$dir/err3"
cmp -s report1 report3 || fail "the machines report otherwise: $(cat report3 "$dir/err3")"
[ -d "$dir/once/cut" ] || fail "no copy back was cut"
rm "$dir/bin/cat"
diff -r packed back || fail "the machines pack otherwise"
# shellcheck disable=SC2086 # $frames is the options, split at blanks
st=0 && example PARALLEL_SSH="ssh -F $home/.ssh/config" pack-frames --max-share 0.001 \
  --hosts hosts $frames fback >report5 2>"$dir/err5" || st=$?
status 1 report5 "$dir/err5"
check_frames fback report5
for x in a b c; do
  h=$(getent passwd "pz$$$x" | cut -d: -f6)
  left=$(find "$h" -mindepth 1 ! -path "$h/.ssh" ! -path "$h/.ssh/*"; find /tmp -maxdepth 1 -user "pz$$$x")
  [ -z "$left" ] || fail "left on a machine: $left"
  [ -z "$(find "$h" -name PWNED)" ] || fail "a file name was run as code on a machine"
done
[ -z "$(find "$dir" -name PWNED)" ] || fail "a file name was run as code"
grep -q "User pz$$u .*not allowed" "$dir/sshd.log" || fail "the refused login was never tried"
# A copy back that fails (a folder in the way) gives no verdict for its
# picture, and the summary and status 1 say so.
mkdir -p back2/logo.png.rgbx/in-the-way && chown -R "pz$$u" back2
st=0 && example pack-pictures --ssh "ssh -o BatchMode=yes" --hosts hosts images back2 >report4 \
  2>"$dir/err4" || st=$?
status 1 report4 "$dir/err4"
{ sed -e 's|^logo.png: .*|logo.png: not back|' -e '$d' report1
  echo "$n pictures: $((n - 2)) ok, 0 FAIL, 1 not packed, 1 not back"; } | cmp -s - report4 ||
  fail "with a copy back failing: $(cat report4)"
