# shellcheck shell=bash disable=SC2154 # pz_job, pz_usage, ... are the job script's
# The engine that pack-frames and pack-pictures share, sourced by both: the
# options every job takes, the run folder, the three ways of running one
# input's step (this machine, machines reached by ssh, a Slurm job array),
# the progress line, the report and the exit status. The job script defines
#   job_option OPT ARG   takes a job option (sets pz_used to 1 or 2, or fails)
#   job_stage DIR NAME   fills DIR for input NAME, or prints a verdict for it
#                        and fails when it cannot even be started
#   job_work DIR         the step: packs and checks in DIR, sets pz_verdict
#   job_back DIR         the files, relative to DIR, the ssh way brings back
#   job_keep DIR NAME    keeps what the job keeps beside OUT/NAME.rgbx
# and the variables pz_job (frames, pictures), pz_in_word (FRAMES, PICTURES)
# and pz_usage. Names are only ever data: each input's folder holds its name
# in a file, and only the folder's number reaches xargs, parallel, ssh,
# rsync, sbatch or any tool.

pz_self=$(readlink -f -- "$0")
pz_me=${0##*/}
pz_jobs=$(nproc) pz_hosts='' pz_ssh=${PARALLEL_SSH:-ssh} pz_slurm=0
pz_per_task=20 pz_tasks=64 pz_at_once=16 pz_sbatch_args='' pz_step_args=()

pz_die() {
  printf '%s: %s\n' "$pz_me" "$*" >&2
  exit 2
}
pz_uint() { [[ $2 =~ ^[0-9]+$ ]] || pz_die "$1 takes a whole number, not '$2'"; }

# shellcheck disable=SC2016 # $PARALLEL_SSH is named, not expanded
pz_common_usage='Ways (this machine unless one is chosen):
  -j N              inputs packed at once on this machine (default: the cores)
  --hosts FILE      over ssh with GNU parallel; FILE has one login a line,
                    with its jobs at once: 8/lab1, 4/me@lab2
  --ssh CMD         the ssh command for --hosts (default: $PARALLEL_SSH or ssh)
  --slurm           as one Slurm job array (sbatch --wait); OUT must be on the
                    file system the nodes share
  --per-task N      with --slurm: inputs per array task, at least (20)
  --tasks N         with --slurm: array tasks at the most (64)
  --at-once N       with --slurm: array tasks running at once (16)
  --sbatch-args A   with --slurm: more sbatch options, split at blanks
  -h, --help        this text
The report: one line per input, sorted by name, "NAME: ok, ...", "NAME: FAIL,
..." or "NAME: not packed (...)", then a summary line. Status 0 when every
input is ok, 1 otherwise, 2 for a usage error.'

# pz_parse ARGS...: the options, then the two folders (pz_in, pz_out), or
# --step DIR / --remote DIR, which run one input's step and exit.
pz_parse() {
  local step=''
  while [ $# -gt 0 ]; do
    case $1 in
    -h | --help) printf '%s\n\n%s\n' "$pz_usage" "$pz_common_usage"; exit 0 ;;
    -j) pz_uint -j "${2-}"; [ "$2" -gt 0 ] || pz_die "-j takes 1 or more"; pz_jobs=$2; shift ;;
    --hosts) [ -n "${2-}" ] || pz_die "--hosts takes a file"; pz_hosts=$2; shift ;;
    --ssh) [ -n "${2-}" ] || pz_die "--ssh takes a command"; pz_ssh=$2; shift ;;
    --slurm) pz_slurm=1 ;;
    --per-task | --tasks | --at-once)
      pz_uint "$1" "${2-}"; [ "$2" -gt 0 ] || pz_die "$1 takes 1 or more"
      local v=${1#--}; printf -v "pz_${v//-/_}" %s "$2"; shift ;;
    --sbatch-args) pz_sbatch_args=${2-}; shift ;;
    --step | --remote) step=$1 pz_dir=${2-}; shift ;;
    --) shift; break ;;
    -?*)
      pz_used=0
      job_option "$1" "${2-}"
      [ "$pz_used" -gt 0 ] || pz_die "unknown option $1 (see --help)"
      shift $((pz_used - 1)) ;;
    *) break ;;
    esac
    shift
  done
  if [ -n "$step" ]; then
    pz_step "$step"
    exit
  fi
  [ $# -eq 2 ] || pz_die "usage: $pz_me [OPTIONS] $pz_in_word OUT (see --help)"
  [ -z "$pz_hosts" ] || [ "$pz_slurm" = 0 ] || pz_die "--hosts and --slurm: choose one way"
  [ -d "$1" ] || pz_die "$pz_in_word: no folder $1"
  [ -z "$pz_hosts" ] || [ -r "$pz_hosts" ] || pz_die "--hosts: cannot read $pz_hosts"
  pz_in=$1 pz_out=$2
}

# pz_step --step|--remote DIR: one input's step. --step leaves the packed
# file as OUT/NAME.rgbx and the report line in the run's v/ folder; --remote
# (on a machine reached by ssh) writes a tar of what goes back to standard
# output and "pz: CKSUM SIZE VERDICT" to standard error, and removes DIR.
pz_step() {
  local dir=$pz_dir
  [ -d "$dir" ] || { echo "no folder $dir" >&2; exit 1; }
  cd "$dir" || exit 1
  # ImageMagick's disk cache, if any, stays in the input's folder.
  export TMPDIR=$PWD MAGICK_TEMPORARY_PATH=$PWD
  if [ "$1" = --remote ]; then
    # shellcheck disable=SC2064 # the folder is fixed now
    trap "cd / && rm -rf -- ${PWD@Q}" EXIT
    trap 'exit 1' HUP PIPE TERM
  fi
  # A step that cannot run here (a tool missing) fails, so that the ssh
  # way tries another machine; on this machine it is the input's verdict.
  job_work . || [ "$1" = --step ] || exit 1
  if [ "$1" = --step ]; then
    pz_finish . "$pz_verdict" 'not packed'
    return
  fi
  local back=() f sum
  for f in $(job_back); do [ ! -e "$f" ] || back+=("$f"); done
  tar -cf back.tar -- "${back[@]}" name && sum=$(cksum <back.tar) && cat back.tar &&
    printf 'pz: %s %s\n' "$sum" "$pz_verdict" >&2
}

# pz_finish DIR VERDICT WORD: renames DIR/work/rgbx to OUT/NAME.rgbx, keeps
# what the job keeps, and files the line "NAME: VERDICT" in the run's v/
# folder; where the rename fails, the line is "NAME: WORD (...)" instead.
pz_finish() {
  local dir name why run out verdict=$2
  dir=$(cd "$1" && pwd) && run=${dir%/in/*} && out=${run%/*} && name=$(<"$dir/name") || return
  if [ -f "$dir/work/rgbx" ]; then
    why=$(mv -fT -- "$dir/work/rgbx" "$out/$name.rgbx" 2>&1) || verdict="$3 ($why)"
  fi
  job_keep "$dir" "$out/$name" || verdict="$3 (could not keep $name/)"
  [ "$3" != 'not back' ] || [ "$verdict" = "$2" ] || return
  printf '%s: %s\n' "$name" "$verdict" >"$dir/line" && mv -f -- "$dir/line" "$run/v/${dir##*/}"
}

# pz_done: how many inputs have their verdict (or, over ssh, have ended).
pz_done() {
  local n
  n=$(find "$pz_run/v" -type f -printf . | wc -c)
  [ ! -f "$pz_run/joblog" ] || n=$((n + $(wc -l <"$pz_run/joblog") - 1))
  echo $((n < 0 ? 0 : n))
}
# pz_progress_start / _stop: "N of M done" on standard error, kept up to
# date, while it is a terminal; nothing otherwise.
pz_progress_start() {
  pz_progress=''
  [ -t 2 ] || return 0
  { while :; do printf '\r%s of %s done' "$(pz_done)" "$pz_count" >&2; sleep 0.5; done; } &
  pz_progress=$!
}
pz_progress_stop() {
  [ -n "$pz_progress" ] || return 0
  kill "$pz_progress" 2>/dev/null
  wait "$pz_progress" 2>/dev/null
  printf '\r%s of %s done\n' "$(pz_done)" "$pz_count" >&2
  pz_progress=''
}

# The three ways. Each runs the step for every folder listed in $pz_run/todo
# (NUL-separated, relative to the run folder).
pz_run_local() {
  (cd "$pz_run" && xargs -0 -r -n 1 -P "$pz_jobs" bash "$pz_self" "${pz_step_args[@]}" --step <todo)
}

# Over ssh: the step's folder (its links followed) goes to the machine with
# the scripts, the step sends back a tar, checked by size and cksum here.
# parallel is given a one-word ssh command, a wrapper that runs the user's
# words, as its --controlmaster cannot start a command of several words.
pz_run_ssh() {
  local words i n line sum size rest f
  read -ra words <<<"$pz_ssh"
  [ ${#words[@]} -gt 0 ] || pz_die "--ssh: an empty command"
  pz_wrap=$(mktemp -d) || return
  { echo '#!/bin/sh'; printf 'exec'; printf ' %q' "${words[@]}"; echo ' "$@"'; } >"$pz_wrap/ssh"
  chmod 755 "$pz_wrap/ssh"
  cp -- "$pz_self" "$pz_run/$pz_me" && cp -- "${BASH_SOURCE[0]}" "$pz_run/pack-common.sh" || return
  while IFS= read -r -d '' i; do
    ln -s "../../$pz_me" "$pz_run/$i/$pz_me" && ln -s ../../pack-common.sh "$pz_run/$i/pack-common.sh"
  done <"$pz_run/todo"
  hosts=$(readlink -f -- "$pz_hosts")
  (cd "$pz_run" && mkdir r && env -u PARALLEL_SSH PARALLEL_RSYNC_OPTS=-rLDzR \
    parallel -0 --will-cite --sshloginfile "$hosts" --ssh "$pz_wrap/ssh" --controlmaster \
    --retries 3 --workdir "packing-$HOSTNAME-$$-{#}" --transferfile {} --cleanup \
    --results 'r/{/}' --joblog joblog -a todo \
    bash {}/"$pz_me" "${pz_step_args[@]}" --remote {} >/dev/null) || echo "$pz_me: parallel: status $?" >&2
  rm -rf -- "$pz_wrap"
  while IFS= read -r -d '' i; do
    n=${i#in/} f=$pz_run/r/$n
    line=$(grep '^pz: ' "$f.err" 2>/dev/null | tail -n 1) && read -r _ sum size rest <<<"$line" &&
      [ "$(cksum <"$f")" = "$sum $size" ] && tar -xf "$f" -C "$pz_run/$i" --exclude=name &&
      pz_finish "$pz_run/$i" "$rest" 'not back' ||
      printf '%s: not back\n' "$(<"$pz_run/$i/name")" >"$pz_run/v/$n"
    grep -v '^pz: ' "$f.err" 2>/dev/null >&2
  done <"$pz_run/todo"
}

# As one Slurm job array: slices of at least --per-task inputs, dealt round
# robin, up to --tasks tasks, --at-once of them at once. The scripts are
# copied into the run folder, which the nodes reach as OUT is shared.
pz_run_slurm() {
  local n k args
  n=$(tr -cd '\0' <"$pz_run/todo" | wc -c)
  [ "$n" -gt 0 ] || return 0
  k=$(((n + pz_per_task - 1) / pz_per_task)) && k=$((k < pz_tasks ? k : pz_tasks))
  cp -- "$pz_self" "$pz_run/$pz_me" && cp -- "${BASH_SOURCE[0]}" "$pz_run/pack-common.sh" &&
    split -t '\0' -n "r/$k" -d -a 6 "$pz_run/todo" "$pz_run/slice." || return
  : >"$pz_run/step-args"
  [ ${#pz_step_args[@]} -eq 0 ] || printf '%s\0' "${pz_step_args[@]}" >"$pz_run/step-args"
  read -ra args <<<"$pz_sbatch_args"
  # A task ignores TERM, so the input under way is finished or killed (by
  # KILL, KillWait later), never left half-done with a verdict.
  PZ_RUN=$pz_run PZ_ME=$pz_me sbatch --wait --quiet --job-name="pack-$pz_job" \
    --array="0-$((k - 1))%$pz_at_once" --output="$pz_run/task-%a.log" "${args[@]}" <<'EOF'
#!/bin/bash
trap '' TERM
cd "$PZ_RUN" || exit 1
mapfile -d '' a <step-args
xargs -0 -n 1 bash "$PZ_RUN/$PZ_ME" "${a[@]}" --step <"slice.$(printf %06d "$SLURM_ARRAY_TASK_ID")"
EOF
}

# pz_main ARGS...: the whole run, and the exit status.
pz_main() {
  pz_parse "$@"
  mkdir -p -- "$pz_out" || exit 2
  pz_run=$(mktemp -d "$(readlink -f -- "$pz_out")/.pack-XXXXXX") || exit 2
  mkdir "$pz_run/in" "$pz_run/v"
  trap 'pz_progress_stop; [ -n "${pz_keep_run:-}" ] || rm -rf -- "$pz_run"' EXIT
  trap 'exit 1' HUP INT TERM
  local name i=0 n ok=0 fail=0 np=0 nb=0 missing=0 line
  while IFS= read -r -d '' name; do
    [[ $name != *$'\n'* ]] || pz_die "a name holding a newline is not supported: rename $pz_in/${name%%$'\n'*}..."
    i=$((i + 1)) && n=$(printf %06d "$i")
    mkdir "$pz_run/in/$n" && printf '%s' "$name" >"$pz_run/in/$n/name"
    if line=$(job_stage "$pz_run/in/$n" "$name"); then
      printf '%s\0' "in/$n" >>"$pz_run/todo"
    else
      printf '%s: %s\n' "$name" "$line" >"$pz_run/v/$n"
    fi
  done < <(find "$pz_in/" -mindepth 1 -maxdepth 1 -printf '%f\0' | LC_ALL=C sort -z)
  pz_count=$i
  touch "$pz_run/todo"
  pz_progress_start
  if [ -n "$pz_hosts" ]; then pz_run_ssh
  elif [ "$pz_slurm" = 1 ]; then pz_run_slurm
  else pz_run_local
  fi
  pz_progress_stop
  for ((n = 1; n <= pz_count; n++)); do
    f=$pz_run/v/$(printf %06d "$n")
    name=$(<"$pz_run/in/${f##*/}/name")
    if [ -f "$f" ]; then line=$(<"$f")
    else line="$name: not packed (no verdict)" missing=$((missing + 1))
    fi
    printf '%s\n' "$line"
    case ${line#"$name: "} in
    ok*) ok=$((ok + 1)) ;;
    FAIL*) fail=$((fail + 1)) ;;
    'not back') nb=$((nb + 1)) ;;
    *) np=$((np + 1)) ;;
    esac
  done
  line="$pz_count $pz_job: $ok ok, $fail FAIL, $np not packed"
  [ "$nb" -eq 0 ] || line+=", $nb not back"
  printf '%s\n' "$line"
  if [ "$missing" -gt 0 ] && [ "$pz_slurm" = 1 ]; then
    pz_keep_run=1
    echo "$missing of $pz_count $pz_job have no verdict (logs: $pz_run): run again"
  fi
  [ "$ok" -eq "$pz_count" ]
}
