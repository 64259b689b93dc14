# shellcheck shell=sh disable=SC2154 # dir, tools, n and the helpers are readme_recipes.sh's
# Sourced by readme_recipes.sh after the one-machine batch (report1, packed/):
# starts a Slurm cluster of its own in $dir/slurm, pastes the README's Slurm
# block, once with one array task cancelled while it holds an image, then in
# full, and stops the daemons by their process ids whatever happens.
# shellcheck source=tests/slurm_cluster.sh
. "$here/slurm_cluster.sh"
s=$dir/slurm real_convert=$(command -v convert)
trap 'slurm_stop "$s"; rm -rf "$dir"' EXIT
# munged serves its socket only where every folder above it can be passed.
chmod 711 "$dir"
# Eight tasks to a CPU: the block's one-image tasks start in one round of the
# scheduler, not one round for every two (a round takes about a second).
slurm_start "$s" 8 || fail "Slurm did not start"
mkdir "$s/hold"

# A stand-in convert holds logo.png's task, while $s/hold/on exists, until
# it is cancelled, and tells which task that is.
cat >"$s/hold/convert" <<HOLD
#!/bin/sh
case \$PWD in */packed/logo.png) [ ! -e "$s/hold/on" ] || { echo "\$SLURM_ARRAY_TASK_ID" >"$s/hold/task"; sleep 60; } ;; esac
exec "$real_convert" "\$@"
HOLD
chmod +x "$s/hold/convert"
cp -a packed one
# First one image to a task, so that cancelling logo.png's costs no other;
# then as the README has it (all in one task).
block 'Many images on a Slurm cluster' >slurm.txt
sed 's/^per_task=20 /per_task=1 /' slurm.txt >slurm1.txt
grep -q '^per_task=1 ' slurm1.txt || fail "the Slurm block has no line per_task=20 ..."
touch "$s/hold/on"
fresh_bash "$dir" PATH="$s/hold:$tools:$PATH" SLURM_CONF="$SLURM_CONF" <slurm1.txt >report4 2>&1 &
pid=$!
i=0
until [ -s "$s/hold/task" ]; do
  [ $((i += 1)) -lt 150 ] || fail "logo.png was never held: $(cat report4)"
  sleep 0.2
done
task=$(squeue -h -t R -o %i | grep "_$(cat "$s/hold/task")\$") || fail "not running: $(squeue)"
scancel "$task"
if wait "$pid"; then fail "a run with a task cancelled ended with status 0: $(cat report4)"; fi
# Every image has its line, logo.png not packed though the machine's block
# left it packed, and the last line counts it.
sed 's|^images/logo.png: .*|images/logo.png: not packed|' report1 >expected
echo "1 of $n images have no verdict (logs: $(ls -d .slurm-batch.*)): run the block again" >>expected
cmp -s expected report4 || fail "with $task cancelled: $(cat report4)"
rm "$s/hold/on"
fresh_bash "$dir" SLURM_CONF="$SLURM_CONF" <slurm.txt >report5 2>&1 || fail "run again: $(cat report5)"
cmp -s report1 report5 || fail "Slurm reports otherwise: $(cat report5)"
diff -r one packed || fail "Slurm packs otherwise"
[ -z "$(find "$dir" -name PWNED)" ] || fail "a file name was run as code"
