#!/bin/sh
# Wall time of the README's batch on one machine (the xargs block) and as a
# Slurm job array on a one-node cluster of its own (as root, the test's), on
# the same images: N variants of ImageMagick's built-in pictures (default
# 30), three runs each with /usr/bin/time. Each block is pasted into a fresh
# bash, as a reader would, and its report must match the one machine's. The
# Slurm block runs as written (20 images or more to a task) and then with
# one image to a task.
# Usage: bench/batch.sh PLAXEN [N] (zentrel is beside plaxen)
set -eu
here=$(dirname "$(realpath "$0")")
readme=$here/../README.md
tools=$(dirname "$(realpath "$1")") count=${2:-30}
dir=$(mktemp -d)
# shellcheck source=tests/slurm_cluster.sh
. "$here/../tests/slurm_cluster.sh"
trap 'slurm_stop "$dir/slurm"; rm -rf "$dir"' EXIT
trap 'exit 1' HUP INT TERM
chmod 711 "$dir"
block() {
  awk -v t="## $1" '$0 == t { on = 1; next } /^## / { on = 0 } on && sub(/^    /, "")' "$readme"
}
mkdir "$dir/images"
i=0
while [ "$i" -lt "$count" ]; do
  for p in logo rose wizard granite netscape; do
    [ "$i" -lt "$count" ] || break
    convert "$p:" -resize "$((640 + 20 * i))x" "$dir/images/$p-$i.png"
    i=$((i + 1))
  done
done
slurm_start "$dir/slurm"
cd "$dir"
for recipe in 'Many images at once' 'Many images on a Slurm cluster' per_task=1; do
  case $recipe in
  per_task=*) block 'Many images on a Slurm cluster' | sed "s/^per_task=[0-9]* /$recipe /" >recipe.txt ;;
  *) block "$recipe" >recipe.txt ;;
  esac
  for run in 1 2 3; do
    rm -rf packed
    /usr/bin/time -o time -f "$recipe, run $run: %e s" \
      env -i PATH="$tools:$PATH" HOME="$dir" SLURM_CONF="$SLURM_CONF" bash -s <recipe.txt >report 2>/dev/null
    cat time
    [ -e expected ] || cp report expected
    cmp -s report expected || { echo "the report differs: $(cat report)"; exit 1; }
  done
done
head -n 2 report
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
