# shellcheck shell=sh
# A one-node Slurm cluster of its own, for the README's Slurm recipe: as root,
# munged, slurmctld and slurmd on 127.0.0.1 with ports nobody uses, each in
# the foreground in the background, their configuration, key, socket, logs,
# state and process ids in one folder. Sourced; SLURM_CONF is exported.

# slurm_start FOLDER [SHARE]: makes FOLDER (its parents must be open to all,
# as munged asks of its socket's), starts the daemons and waits for an idle
# node. With SHARE, up to SHARE tasks run at once on each CPU.
slurm_start() {
  s=$1 host=$(hostname -s) share=${2:+OverSubscribe=FORCE:$2}
  mkdir -m 711 "$s" && mkdir "$s/state" "$s/spool" || return
  export PATH="$PATH:/usr/sbin:/sbin" SLURM_CONF="$s/slurm.conf"
  ctld_port=$(slurm_free_port) d_port=$(slurm_free_port)
  [ "$ctld_port" != "$d_port" ] || d_port=$((ctld_port + 1))
  dd if=/dev/urandom of="$s/munge.key" bs=1024 count=1 2>/dev/null && chmod 600 "$s/munge.key"
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
PartitionName=all Nodes=$host Default=YES MaxTime=INFINITE State=UP $share
CONF
  i=0
  until [ -S "$s/munge.sock" ]; do
    [ $((i += 1)) -lt 50 ] || { cat "$s/munged.out"; return 1; }
    sleep 0.2
  done
  slurmctld -D -i </dev/null >"$s/slurmctld.out" 2>&1 &
  echo $! >"$s/slurmctld.bg"
  slurmd -D -N "$host" </dev/null >"$s/slurmd.out" 2>&1 &
  echo $! >"$s/slurmd.bg"
  i=0
  until sinfo -h -o %T 2>/dev/null | grep -qx idle; do
    [ $((i += 1)) -lt 100 ] || { cat "$s"/*.out; return 1; }
    sleep 0.2
  done
}

# slurm_stop FOLDER: cancels what is left of the jobs of FOLDER's cluster
# (never another's: SLURM_CONF is set for the call), then ends
# the daemons that slurm_start started, by their process ids, and waits.
slurm_stop() {
  [ ! -f "$1/slurm.conf" ] || SLURM_CONF=$1/slurm.conf squeue -h -o %A 2>/dev/null |
    SLURM_CONF=$1/slurm.conf xargs -r scancel 2>/dev/null || true
  for d in slurmd slurmctld munged; do
    [ ! -f "$1/$d.bg" ] || kill "$(cat "$1/$d.bg")" 2>/dev/null || true
  done
  for d in slurmd slurmctld munged; do
    while [ -f "$1/$d.bg" ] && kill -0 "$(cat "$1/$d.bg")" 2>/dev/null; do sleep 0.2; done
  done
}

# slurm_free_port: a TCP port on which nothing listens or connects.
slurm_free_port() {
  while p=$(shuf -i 20000-60000 -n 1); ss -Htan "( sport = :$p or dport = :$p )" | grep -q .; do :; done
  echo "$p"
}
