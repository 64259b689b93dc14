#!/bin/sh
# Pastes the README's picture recipes into a fresh bash on standard input, as
# a terminal paste arrives, and checks what they print and leave behind: the
# round trip on an opaque, a transparent and a 16-bit picture, and the batch
# recipe, twice, on a folder with a broken image and awkward names. Given
# SSHD (as root), it runs the batch recipe once and then the many-machines
# recipe over real OpenSSH instead: an sshd of its own on 127.0.0.1, three
# accounts made for the run as the machines, and both recipes pasted as a
# fourth, whose ~/.ssh/config names the three and a login the sshd refuses.
# Given "slurm" (as root), it runs the batch recipe once on more awkward
# names, then as a job array on a Slurm cluster of its own: one task
# cancelled, then in full.
# Usage: readme_recipes.sh README PLAXEN [SSHD | slurm] (zentrel is beside plaxen)
set -eu
readme=$(realpath "$1") tools=$(dirname "$(realpath "$2")") mode=${3:-}
here=$(dirname "$(realpath "$0")")
dir=$(mktemp -d) users='' server='' as='' home=$dir
. "$here/machines.sh"
trap 'machines_down; rm -rf "$dir"' EXIT
trap 'exit 1' HUP INT TERM
fail() {
  echo "$*"
  exit 1
}

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
if [ "$mode" = slurm ]; then
  for name in -lead.png "it's \"quoted\".png" 'a;b.png' .dot.png frame%d.png 'x[1].png' \
    'c:olon.png' 'ünï.png'; do
    cp -- logo.png "$name"
  done
fi
n=$(find . -mindepth 1 -maxdepth 1 -printf . | wc -c)
cd "$dir"

block 'Many images at once' >batch.txt
if [ "$mode" = slurm ]; then
  :
elif [ -z "$mode" ]; then
  block 'Planes from an ordinary picture, and back' >round-trip.txt
  grep -qx 'picture=logo:' round-trip.txt || fail "the round trip has no line picture=logo:"
  for picture in logo: "$dir/images/my.photo.v2.png" "$dir/images/a 16-bit one.png"; do
    rm -rf pic
    sed "s|^picture=logo:\$|picture='$picture'|" round-trip.txt | fresh_bash "$dir" >out 2>&1
    [ "$(tail -n 2 out | tr '\n' ' ')" = "0 0 " ] || fail "round trip of $picture: $(cat out)"
  done
else
  machines_up "$mode" "2/alpha
1/gone
2/beta
2/gamma"
fi

fresh_bash "$dir" <batch.txt >report1 2>/dev/null
# One line per image: the good ones agree, the broken one is named.
if [ "$(grep -c ', number = 0, ' report1)" -ne $((n - 1)) ] || [ "$(wc -l <report1)" -ne "$n" ] ||
  ! grep -qx 'images/broken.png: not packed' report1; then
  fail "unexpected report: $(cat report1)"
fi
[ -z "$(find "$dir" -name PWNED)" ] || fail "a file name was run as code"
for d in packed/*/work packed/.[!.]*/work; do
  [ "$d" = packed/broken.png/work ] || cmp "$d/../reference.rgbx" "$d/rgbx" || fail "$d"
done
if [ -z "$mode" ]; then
  fresh_bash "$dir" <batch.txt >report2 2>/dev/null
  cmp -s report1 report2 || fail "a second run reports otherwise: $(cat report1 report2)"
  exit 0
elif [ "$mode" = slurm ]; then
  # shellcheck source=tests/slurm_recipe.sh
  . "$here/slurm_recipe.sh"
  exit
fi

# The first copy back of logo.png is cut: a cat on the machines' PATH sends
# part of its packed file, then kills the process that holds the job's ssh
# session there (parallel's perl). The job is run again and logo.png gets
# its verdict all the same.
mkdir -m 777 "$dir/once"
cat >"$dir/bin/cat" <<EOF
#!/bin/sh
case "\$1 \$(readlink image 2>/dev/null)" in
"work/rgbx "*/images/logo.png) mkdir "$dir/once/cut" 2>/dev/null || exec /bin/cat "\$@" ;;
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
block 'Many images on many machines' | fresh_bash "$dir" >report3 2>"$dir/err3" ||
  fail "the machines' block failed: $(cat report3 "$dir/err3")"
cmp -s report1 report3 || fail "the machines report otherwise: $(cat report3 "$dir/err3")"
[ -d "$dir/once/cut" ] || fail "no copy back was cut"
rm "$dir/bin/cat"
[ "$(ls -A packed | grep -c '\.rgbx$')" -eq $((n - 1)) ] || fail "packed files back: $(ls -A packed)"
for f in packed/*.rgbx packed/.hidden.png.rgbx; do
  cmp "$f" "${f%.rgbx}/reference.rgbx" || fail "$f"
done
for x in a b c; do
  h=$(getent passwd "pz$$$x" | cut -d: -f6)
  left=$(find "$h" -mindepth 1 ! -path "$h/.ssh" ! -path "$h/.ssh/*"; find /tmp -maxdepth 1 -user "pz$$$x")
  [ -z "$left" ] || fail "left on a machine: $left"
  [ -z "$(find "$h" -name PWNED)" ] || fail "a file name was run as code on a machine"
done
[ -z "$(find "$dir" -name PWNED)" ] || fail "a file name was run as code"
grep -q "User pz$$u .*not allowed" "$dir/sshd.log" || fail "the refused login was never tried"
# A copy back that fails (a folder in the way) gives no verdict for its
# image, and a last line and status 1 say so.
rm packed/logo.png.rgbx && mkdir -p packed/logo.png.rgbx/in-the-way
if block 'Many images on many machines' | fresh_bash "$dir" >report4 2>/dev/null; then
  fail "a copy back failed, yet status 0: $(cat report4)"
fi
{ sed 's|^images/logo.png: .*|images/logo.png: not back|' report1
  echo "packed files that did not come back: 1; run the block again"; } | cmp -s - report4 ||
  fail "with a copy back failing: $(cat report4)"
