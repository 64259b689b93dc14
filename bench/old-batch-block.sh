#!/bin/sh
# The one-machine batch block as the README gave it before the scripts in
# examples/ took its place, kept verbatim as the baseline bench/batch.sh times
# pack-pictures against. Run from a folder holding images/: it packs every
# entry into packed/NAME/ (planes, reference, work/rgbx) and prints one line
# per image, sorted. Each image is decoded four times.
# shellcheck disable=SC2016 # the per-image body is single-quoted for sh -c
mkdir -p packed
find images/ -mindepth 1 -maxdepth 1 -print0 | xargs -0 -n 1 -P "$(nproc)" sh -c '
  d=packed/${1#images/}
  if mkdir -p "$d/work" && ln -sfn -- "$PWD/$1" "$d/image" && cd "$d" &&
    convert image -depth 8 -channel r -separate gray:bgr_r &&
    convert image -depth 8 -channel g -separate gray:bgr_g &&
    convert image -depth 8 -channel b -separate gray:bgr_b &&
    convert image -alpha opaque -depth 8 bgra:reference.rgbx &&
    (cd work && plaxen >/dev/null)
  then printf "%s: %s\n" "$1" "$(zentrel reference.rgbx work/rgbx | tail -n 1)"
  else printf "%s: not packed\n" "$1"
  fi' sh | sort
