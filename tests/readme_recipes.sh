#!/bin/sh
# Pastes the README's two picture recipes into a fresh bash on standard input,
# as a terminal paste arrives, and checks what they print and leave behind:
# the round trip on an opaque, a transparent and a 16-bit picture, and the
# batch recipe, twice, on a folder with a broken image and awkward names,
# then on stand-in machines, one of them gone. With "slurm", as root, the
# batch on more awkward names, by the machine's block, then as a job array
# on a Slurm cluster of its own: one task cancelled, then in full.
# Usage: readme_recipes.sh README PLAXEN [slurm] (zentrel is beside plaxen)
set -eu
readme=$(realpath "$1") tools=$(dirname "$(realpath "$2")") slurm=${3:-}
here=$(dirname "$(realpath "$0")")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
trap 'exit 1' HUP INT TERM
fail() {
  echo "$*"
  exit 1
}
# block TITLE: the indented lines of the README section TITLE, unindented.
block() {
  awk -v t="## $1" '$0 == t { on = 1; next } /^## / { on = 0 } on && sub(/^    /, "")' "$readme"
}
# fresh_bash FOLDER [NAME=VALUE...]: runs standard input in a fresh bash in
# FOLDER, the tools on PATH and the variables given set.
fresh_bash() {
  (cd "$1" && shift && env -i PATH="$tools:$PATH" HOME="$dir" "$@" bash -s)
}

mkdir "$dir/images"
cd "$dir/images"
convert logo: logo.png
convert rose: -alpha set -channel A -fx 'i/w' +channel 'my.photo.v2.png'
convert wizard: -depth 16 -blur 0x1 'a 16-bit one.png'
# shellcheck disable=SC2016 # a name that runs a command if pasted into code
cp 'my.photo.v2.png' '$(touch PWNED).png'
head -c 9000 logo.png >broken.png
if [ -n "$slurm" ]; then
  for name in -lead.png "it's \"quoted\".png" 'a;b.png' .dot.png frame%d.png 'x[1].png' \
    'c:olon.png' 'ünï.png'; do
    cp -- logo.png "$name"
  done
fi
n=$(find . -mindepth 1 -maxdepth 1 -printf . | wc -c)
cd "$dir"

if [ -z "$slurm" ]; then
  block 'Planes from an ordinary picture, and back' >round-trip.txt
  grep -qx 'picture=logo:' round-trip.txt || fail "the round trip has no line picture=logo:"
  for picture in logo: "$dir/images/my.photo.v2.png" "$dir/images/a 16-bit one.png"; do
    rm -rf pic
    sed "s|^picture=logo:\$|picture='$picture'|" round-trip.txt | fresh_bash "$dir" >out 2>&1
    [ "$(tail -n 2 out | tr '\n' ' ')" = "0 0 " ] || fail "round trip of $picture: $(cat out)"
  done
fi

block 'Many images at once' >batch.txt
fresh_bash "$dir" <batch.txt >report1 2>/dev/null
fresh_bash "$dir" <batch.txt >report2 2>/dev/null
cmp -s report1 report2 || fail "a second run reports otherwise: $(cat report1 report2)"
# One line per image: the good ones agree, the broken one is named.
if [ "$(grep -c ', number = 0, ' report1)" -ne $((n - 1)) ] || [ "$(wc -l <report1)" -ne "$n" ] ||
  ! grep -qx 'images/broken.png: not packed' report1; then
  fail "unexpected report: $(cat report1)"
fi
[ -z "$(find "$dir" -name PWNED)" ] || fail "a file name was run as code"
for d in packed/*/work; do
  [ "$d" = packed/broken.png/work ] || cmp "$d/../reference.rgbx" "$d/rgbx" || fail "$d"
done
if [ -n "$slurm" ]; then
  # shellcheck source=tests/slurm_recipe.sh
  . "$here/slurm_recipe.sh"
  exit
fi

# Stand-in machines: parallel's ssh runs each machine's commands in a folder
# of its own, as a login there would; the machine "gone" cannot be reached.
cat >ssh <<'EOF'
#!/bin/sh
host=$1
shift
[ "$1" != -- ] || shift
[ "$host" != gone ] || exit 255
export HOME="$HOME/host-$host" SHELL=/bin/sh
mkdir -p "$HOME" && cd "$HOME" && exec sh -c "$*"
EOF
chmod +x ssh
printf '2/alpha\n1/gone\n1/beta\n' >hosts
block 'Many images on many machines' | fresh_bash "$dir" PARALLEL_SSH="$dir/ssh" >report3 2>/dev/null
cmp -s report1 report3 || fail "the machines report otherwise: $(cat report3)"
[ "$(ls packed/*.rgbx | wc -l)" -eq 4 ] || fail "packed files back: $(ls packed)"
for f in packed/*.rgbx; do cmp "$f" "${f%.rgbx}/reference.rgbx" || fail "$f"; done
[ -z "$(find "$dir"/host-* -type f)" ] || fail "left on a machine: $(find "$dir"/host-* -type f)"
[ -z "$(find "$dir" -name PWNED)" ] || fail "a file name was run as code"
