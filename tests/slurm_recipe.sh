# shellcheck shell=sh disable=SC2154 # dir, tools, n and the helpers are examples.sh's
# Sourced by examples.sh after the one-machine run (report1, packed/): starts
# a Slurm cluster of its own in $dir/slurm, runs pack-pictures as a job
# array, once with one array task cancelled while it holds a picture, then in
# full, and pack-frames, and stops the daemons by their process ids whatever
# happens.
# shellcheck source=tests/slurm_cluster.sh
. "$here/slurm_cluster.sh"
s=$dir/slurm real_convert=$(command -v convert)
trap 'slurm_stop "$s"; rm -rf "$dir"' EXIT
# munged serves its socket only where every folder above it can be passed.
chmod 711 "$dir"
# Eight tasks to a CPU: the one-picture tasks start in one round of the
# scheduler, not one round for every two (a round takes about a second).
slurm_start "$s" 8 || fail "Slurm did not start"
mkdir "$s/hold"

# A stand-in convert holds logo.png's task, while $s/hold/on exists, until
# it is cancelled, and tells which task that is.
cat >"$s/hold/convert" <<HOLD
#!/bin/sh
case \$(cat name) in logo.png) [ ! -e "$s/hold/on" ] || { echo "\$SLURM_ARRAY_TASK_ID" >"$s/hold/task"; sleep 60; } ;; esac
exec "$real_convert" "\$@"
HOLD
chmod +x "$s/hold/convert"
touch "$s/hold/on"
# One picture to a task first, so that cancelling logo.png's costs no other.
example PATH="$s/hold:$dir/ex:$tools:$PATH" pack-pictures --slurm --per-task 1 images held \
  >report4 2>&1 &
pid=$!
i=0
until [ -s "$s/hold/task" ]; do
  [ $((i += 1)) -lt 150 ] || fail "logo.png was never held: $(cat report4)"
  sleep 0.2
done
task=$(squeue -h -t R -o %i | grep "_$(cat "$s/hold/task")\$") || fail "not running: $(squeue)"
scancel "$task"
if wait "$pid"; then fail "a run with a task cancelled ended with status 0: $(cat report4)"; fi
# Every picture has its line, logo.png not packed, and the last line counts it.
{ sed -e 's|^logo.png: .*|logo.png: not packed (no verdict)|' -e '$d' report1
  echo "$n pictures: $((n - 2)) ok, 0 FAIL, 2 not packed"
  echo "1 of $n pictures have no verdict (logs: $(readlink -f held/.pack-*)): run again"; } >expected
cmp -s expected report4 || fail "with $task cancelled: $(cat report4)"
rm "$s/hold/on"
example pack-pictures --slurm --keep images onslurm >report5 2>&1 || :
cmp -s report1 report5 || fail "Slurm reports otherwise: $(cat report5)"
diff -r packed onslurm || fail "Slurm packs otherwise"
# shellcheck disable=SC2086 # $frames is the options, split at blanks
if example pack-frames --slurm --max-share 0.001 $frames fslurm >report6 2>&1; then
  fail "frames failed on Slurm, yet status 0"
fi
check_frames fslurm report6
[ -z "$(find "$dir" -name PWNED)" ] || fail "a file name was run as code"
