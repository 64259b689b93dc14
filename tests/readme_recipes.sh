#!/bin/sh
# Pastes the README's round trip into a fresh bash on standard input, as a
# terminal paste arrives, on an opaque, a transparent and a 16-bit picture,
# and checks that both viewers give each picture back exactly.
# Usage: readme_recipes.sh README PLAXEN (zentrel is beside plaxen)
set -eu
readme=$(realpath "$1") tools=$(dirname "$(realpath "$2")")
here=$(dirname "$(realpath "$0")")
dir=$(mktemp -d) as='' home=$dir
. "$here/machines.sh"
trap 'rm -rf "$dir"' EXIT
trap 'exit 1' HUP INT TERM
fail() {
  echo "$*"
  exit 1
}

mkdir "$dir/images"
cd "$dir/images"
convert rose: -alpha set -channel A -fx 'i/w' +channel 'my.photo.v2.png'
convert wizard: -depth 16 -blur 0x1 'a 16-bit one.png'
cd "$dir"
block 'Planes from an ordinary picture, and back' >round-trip.txt
grep -qx 'picture=logo:' round-trip.txt || fail "the round trip has no line picture=logo:"
for picture in logo: "$dir/images/my.photo.v2.png" "$dir/images/a 16-bit one.png"; do
  rm -rf pic
  sed "s|^picture=logo:\$|picture='$picture'|" round-trip.txt | fresh_bash "$dir" >out 2>&1
  [ "$(tail -n 2 out | tr '\n' ' ')" = "0 0 " ] || fail "round trip of $picture: $(cat out)"
done
