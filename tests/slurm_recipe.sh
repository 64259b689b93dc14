# Sourced by readme_recipes.sh after the one-machine batch (report1, packed/):
# starts munged, slurmctld and slurmd as root on 127.0.0.1, all their files
# in $dir/slurm, pastes the README's Slurm block, once with one array task
# cancelled while it holds an image, then in full, and stops the daemons by
# their process ids whatever happens.
s=$dir/slurm host=$(hostname -s) real_convert=$(command -v convert)
# munged serves its socket only where every folder above it can be passed.
chmod 711 "$dir" && mkdir -m 711 "$s" && mkdir "$s/state" "$s/spool" "$s/hold"
export PATH="$PATH:/usr/sbin:/sbin" SLURM_CONF="$s/slurm.conf"
stop() {
  squeue -h -o %A 2>/dev/null | xargs -r scancel 2>/dev/null || true
  for d in slurmd slurmctld munged; do
    [ ! -f "$s/$d.bg" ] || kill "$(cat "$s/$d.bg")" 2>/dev/null || true
  done
  for d in slurmd slurmctld munged; do
    while [ -f "$s/$d.bg" ] && kill -0 "$(cat "$s/$d.bg")" 2>/dev/null; do sleep 0.2; done
  done
  rm -rf "$dir"
}
trap stop EXIT
# free_port: a TCP port on which nothing listens or connects.
free_port() {
  while p=$(shuf -i 20000-60000 -n 1); ss -Htan "( sport = :$p or dport = :$p )" | grep -q .; do :; done
  echo "$p"
}
ctld_port=$(free_port) d_port=$(free_port)
[ "$ctld_port" != "$d_port" ] || d_port=$((ctld_port + 1))
dd if=/dev/urandom of="$s/munge.key" bs=1024 count=1 2>/dev/null
chmod 600 "$s/munge.key"
munged -F --key-file="$s/munge.key" --socket="$s/munge.sock" --pid-file="$s/munged.pid" \
  --log-file="$s/munged.log" --seed-file="$s/munged.seed" </dev/null >"$s/munged.out" 2>&1 &
echo $! >"$s/munged.bg"
cat >"$s/slurm.conf" <<CONF
ClusterName=readme
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$d_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$s/munge.sock
StateSaveLocation=$s/state
SlurmdSpoolDir=$s/spool
SlurmctldPidFile=$s/slurmctld.pid
SlurmdPidFile=$s/slurmd.pid
SlurmctldLogFile=$s/slurmctld.log
SlurmdLogFile=$s/slurmd.log
MailProg=/bin/true
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
MpiDefault=none
ReturnToService=2
SchedulerParameters=batch_sched_delay=0,sched_min_interval=0
MinJobAge=2
KillWait=2
SlurmdTimeout=10
NodeName=$host NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=all Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
i=0
until [ -S "$s/munge.sock" ]; do
  [ $((i += 1)) -lt 50 ] || fail "munged did not start: $(cat "$s/munged.out")"
  sleep 0.2
done
slurmctld -D -i </dev/null >"$s/slurmctld.out" 2>&1 &
echo $! >"$s/slurmctld.bg"
slurmd -D -N "$host" </dev/null >"$s/slurmd.out" 2>&1 &
echo $! >"$s/slurmd.bg"
i=0
until sinfo -h -o %T 2>/dev/null | grep -qx idle; do
  [ $((i += 1)) -lt 100 ] || fail "no idle node: $(cat "$s"/*.out)"
  sleep 0.2
done

# A stand-in convert holds logo.png's task, while $s/hold/on exists, until
# it is cancelled, and tells which task that is.
cat >"$s/hold/convert" <<HOLD
#!/bin/sh
case \$PWD in */packed/logo.png) [ ! -e "$s/hold/on" ] || { echo "\$SLURM_ARRAY_TASK_ID" >"$s/hold/task"; sleep 60; } ;; esac
exec "$real_convert" "\$@"
HOLD
chmod +x "$s/hold/convert"
cp -a packed one
block 'Many images on a Slurm cluster' >slurm.txt
touch "$s/hold/on"
fresh_bash "$dir" PATH="$s/hold:$tools:$PATH" SLURM_CONF="$SLURM_CONF" <slurm.txt >report4 2>&1 &
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
