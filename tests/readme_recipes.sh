#!/bin/sh
# Pastes the README's commands into a fresh bash on standard input, as a
# terminal paste arrives: the first runs, checked line for line against the
# output the README shows; the install into ~/.local and its uninstall; the
# one-machine lines of Many inputs; and the picture round trip on an opaque,
# a transparent and a 16-bit picture, where both viewers must give each
# picture back exactly.
# Usage: readme_recipes.sh README PLAXEN BUILD (zentrel is beside plaxen)
set -eu
readme=$(realpath "$1") tools=$(dirname "$(realpath "$2")") build=$(realpath "$3")
here=$(dirname "$(realpath "$0")")
dir=$(mktemp -d) as='' home=$dir
# shellcheck source=tests/machines.sh disable=SC2034 # as, home and tools are its
. "$here/machines.sh"
trap 'rm -rf "$dir"' EXIT
trap 'exit 1' HUP INT TERM
fail() {
  echo "$*"
  exit 1
}

# session TITLE: the lines typed in the section TITLE ("$ " in its code
# blocks) run in one fresh bash in an empty folder, and what they print
# checked against the lines the README shows under them.
session() {
  awk -v t="## $1" '$0 == t { on = 1; next } /^## / { on = 0 }
    on && sub(/^    \$ /, "") { print > "typed"; next } on && sub(/^    /, "") { print > "shown" }' "$readme"
  mkdir "$dir/$1"
  fresh_bash "$dir/$1" <typed >seen 2>&1 || true
  cmp -s shown seen || fail "the README's $1 prints otherwise: $(diff shown seen)"
}
cd "$dir"
session 'First runs'

# Installed without root into ~/.local, then uninstalled, from the source
# folder, as the README has it.
block Install | grep -e 'prefix ~/.local' -e install_manifest | sed "s|build/default|$build|g" >install.txt
[ "$(wc -l <install.txt)" = 2 ] || fail "Install has no ~/.local lines: $(cat install.txt)"
head -n 1 install.txt | (cd "$here/.." && HOME=$dir/home bash -s >/dev/null) || fail "no ~/.local install"
for f in bin/plaxen bin/zentrel share/man/man1/plaxen.1 share/doc/plaxen-zentrel/examples/pack-frames; do
  [ -f "$dir/home/.local/$f" ] || fail "the ~/.local install lacks $f"
done
tail -n 1 install.txt | (cd "$here/.." && HOME=$dir/home bash -s) || fail "no uninstall"
[ -z "$(find "$dir/home" -type f)" ] || fail "left after the uninstall: $(find "$dir/home" -type f)"

# The one-machine lines of Many inputs, on a frame packed as its golden and
# a picture, with the scripts where the README runs them.
mkdir -p many/frames/0001 many/golden many/photos && ln -s "$here/../examples" many/examples
printf 'RST' >many/frames/0001/r && printf 'gh' >many/frames/0001/g && printf 'b' >many/frames/0001/b
printf 'bgR\377bhS\377bhT\377' >many/golden/0001.rgbx
convert logo: many/photos/logo.png
block 'Many inputs' | grep '^examples/' | grep -v -e --hosts -e --slurm >many.txt
fresh_bash many <many.txt >many.out 2>&1 || fail "Many inputs failed: $(cat many.txt many.out)"
if ! grep -qx '0001: ok, 0 of 9 samples differ (i = 12, number = 0)' many.out ||
  ! grep -q '^logo.png: ok, 0 of 921600 samples differ' many.out; then
  fail "Many inputs reports otherwise: $(cat many.out)"
fi

mkdir "$dir/images"
cd "$dir/images"
convert rose: -alpha set -channel A -fx 'i/w' +channel 'my.photo.v2.png'
convert wizard: -depth 16 -blur 0x1 'a 16-bit one.png'
cd "$dir"
block 'Pictures' >round-trip.txt
grep -qx 'picture=logo:' round-trip.txt || fail "the round trip has no line picture=logo:"
for picture in logo: "$dir/images/my.photo.v2.png" "$dir/images/a 16-bit one.png"; do
  rm -rf pic
  sed "s|^picture=logo:\$|picture='$picture'|" round-trip.txt | fresh_bash "$dir" >out 2>&1
  [ "$(tail -n 2 out | tr '\n' ' ')" = "0 0 " ] || fail "round trip of $picture: $(cat out)"
done
