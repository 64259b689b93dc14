#!/bin/sh
# Wall time of the README's three batch recipes on the same 30 pictures (five
# of ImageMagick's built-in ones at six sizes from 320x240 to 1024x768): the
# one-machine block (xargs -P), the many-machines block over three ssh logins
# on an sshd of the run's own, and the Slurm block on a one-node cluster of
# the run's own, as the tests stand them up (root only). Each block is
# pasted RUNS times (default 3) into a fresh bash; each run's report is set
# against the one-machine report, images without their line there counted,
# and what ssh and parallel said of refused sessions shown.
# Usage: bench/batch.sh PLAXEN [SSHD]   (zentrel is beside plaxen)
#   HOSTS: the hosts file, one line each (default "2/alpha 2/beta 2/gamma");
#   EDIT: a sed expression applied to the many-machines block first, to time
#   a variant of it (EDIT='s/--controlmaster //');
#   PER_TASK: images to a Slurm array task (default: the block's own).
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
readme=$src/README.md tools=$(dirname "$(realpath "$1")")
dir=$(mktemp -d) users='' server='' as='' home=$dir
# The cluster's folder apart: munged wants every folder above it root's, and
# the machines' accounts are given $dir.
cluster=$(mktemp -d)
. "$src/tests/machines.sh"
# shellcheck source=tests/slurm_cluster.sh
. "$src/tests/slurm_cluster.sh"
trap 'machines_down; slurm_stop "$cluster/slurm"; rm -rf "$dir" "$cluster"' EXIT
trap 'exit 1' HUP INT TERM
fail() {
  echo "$*"
  exit 1
}

mkdir "$dir/images"
for picture in logo rose wizard granite netscape; do
  for size in 320x240 480x360 640x480 800x600 960x720 1024x768; do
    convert "$picture:" -resize "$size!" "$dir/images/$picture-$size.png"
  done
done
machines_up "${2:-/usr/sbin/sshd}" "$(echo "${HOSTS:-2/alpha 2/beta 2/gamma}" | tr ' ' '\n')"
chmod 711 "$cluster" && slurm_start "$cluster/slurm" || fail "Slurm did not start"
block 'Many images at once' >"$dir/one"
block 'Many images on many machines' | sed -e "${EDIT:-}" >"$dir/many"
block 'Many images on a Slurm cluster' >"$dir/slurm.txt"
[ -z "${PER_TASK:-}" ] || sed -i "s/^per_task=[0-9]* /per_task=$PER_TASK /" "$dir/slurm.txt"
echo "load average: $(cut -d ' ' -f 1-3 /proc/loadavg)"
for recipe in one many slurm.txt; do
  for run in $(seq "${RUNS:-3}"); do
    start=$(date +%s%N)
    if [ "$recipe" = slurm.txt ]; then
      # The cluster's jobs run as root, who submits them.
      (as='' home=$dir fresh_bash "$dir" SLURM_CONF="$SLURM_CONF" <"$dir/$recipe" >"$dir/report.$recipe" 2>"$dir/err")
    else
      fresh_bash "$dir" <"$dir/$recipe" >"$dir/report.$recipe" 2>"$dir/err"
    fi
    ms=$((($(date +%s%N) - start) / 1000000))
    unlike=$(diff "$dir/report.one" "$dir/report.$recipe" | grep -c '^<' || true)
    echo "$recipe: run $run, $ms ms, $unlike images without the one-machine line"
    grep -h -e 'refused' -e 'Connection closed' -e 'Using only' "$dir/err" | sort | uniq -c
  done
done
echo "load average: $(cut -d ' ' -f 1-3 /proc/loadavg)"
