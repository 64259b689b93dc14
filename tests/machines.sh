# Sourced by tests/examples.sh, tests/readme_recipes.sh and bench/batch.sh: pastes README blocks
# into a fresh bash, and stands up machines for the many-machines recipe.
# The sourcing script sets readme, tools, dir, and users='' server='' as=''
# home=$dir, and calls machines_down on exit.

# block TITLE: the indented lines of the README section TITLE, unindented.
block() {
  awk -v t="## $1" '$0 == t { on = 1; next } /^## / { on = 0 } on && sub(/^    /, "")' "$readme"
}
# fresh_bash FOLDER [NAME=VALUE...]: runs standard input in a fresh bash in
# FOLDER (as the user $as names, if set), the tools on PATH and the
# variables given set.
fresh_bash() {
  (cd "$1" && shift && $as env -i PATH="$tools:$PATH" HOME="$home" "$@" bash -s)
}

# machines_up SSHD HOSTS: an sshd of its own on 127.0.0.1, accounts for the
# run as three machines (alpha, beta and gamma), and a fourth that pastes
# the recipes from then on ($as, $home), whose ~/.ssh/config names the three
# and gone, a login the sshd refuses; HOSTS is the hosts file it gets in
# $dir. Needs root.
machines_up() {
  # Accounts named for this run: a, b and c are the machines, u pastes the
  # recipes. Their homes start empty (an empty skeleton), and every account
  # made is removed again, home and all, however the run ends.
  mkdir "$dir/skel" "$dir/bin"
  for x in a b c u; do
    ! id "pz$$$x" >/dev/null 2>&1 || fail "pz$$$x exists already"
    useradd -m -k "$dir/skel" -p '*' -s /bin/sh "pz$$$x"
    users="$users pz$$$x"
  done
  # The tools under test, where every account can run them.
  cp "$tools/plaxen" "$tools/zentrel" "$dir/bin"
  tools=$dir/bin as="runuser -u pz$$u --" home=$(getent passwd "pz$$u" | cut -d: -f6)
  chmod 755 "$dir" && chown -R "pz$$u" "$dir/images" && chown "pz$$u" "$dir"
  ssh-keygen -q -t ed25519 -N '' -C '' -f "$dir/host_key"
  $as mkdir -m 700 "$home/.ssh"
  $as ssh-keygen -q -t ed25519 -N '' -C '' -f "$home/.ssh/id_ed25519"
  for x in a b c; do
    h=$(getent passwd "pz$$$x" | cut -d: -f6)
    mkdir -m 700 "$h/.ssh" && cp "$home/.ssh/id_ed25519.pub" "$h/.ssh/authorized_keys"
    chown -R "pz$$$x" "$h/.ssh"
  done
  # The sshd, on a free port: one picked at random until one binds. Its
  # logins find the tools through SetEnv, which overrides the login's PATH.
  mkdir -p /run/sshd
  for try in 1 2 3 4 5 6 7 8; do
    port=$(shuf -i 20000-60999 -n 1)
    cat >"$dir/sshd_config" <<EOF
ListenAddress 127.0.0.1
Port $port
HostKey $dir/host_key
PidFile none
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
AllowUsers pz$$a pz$$b pz$$c
SetEnv "PATH=$tools:$PATH"
EOF
    "$1" -D -f "$dir/sshd_config" -e 2>"$dir/sshd.log" &
    server=$!
    for i in $(seq 100); do
      grep -q 'Server listening' "$dir/sshd.log" && break 2
      kill -0 "$server" 2>/dev/null || break
      sleep 0.1
    done
    kill "$server" 2>/dev/null || true
    wait "$server" || true
    server=''
  done
  [ -n "$server" ] || fail "no sshd started: $(cat "$dir/sshd.log")"
  # The pasting account's ssh knows the four names and the sshd's key; gone
  # is a login the sshd refuses (not in AllowUsers).
  $as sh -c 'cat >"$1/.ssh/config"' sh "$home" <<EOF
Host alpha beta gamma gone
  HostName 127.0.0.1
  Port $port
  BatchMode yes
  StrictHostKeyChecking yes
Host alpha
  User pz$$a
Host beta
  User pz$$b
Host gamma
  User pz$$c
Host gone
  User pz$$u
EOF
  echo "[127.0.0.1]:$port $(cut -d ' ' -f 1,2 "$dir/host_key.pub")" |
    $as sh -c 'cat >"$1/.ssh/known_hosts"' sh "$home"
  printf '%s\n' "$2" | $as sh -c 'cat >"$1/hosts"' sh "$dir"
}

# machines_down: the sshd stopped and the accounts removed, homes and all.
# The logins' last processes (parallel's keep-alive on each connection) end
# within a few seconds of the paste; the accounts go once they have.
machines_down() {
  [ -z "$server" ] || { kill "$server" && wait "$server"; } || true
  for i in $(seq 100); do
    busy=''
    for u in $users; do
      if pgrep -u "$u" >/dev/null; then busy=$u; fi
    done
    [ -n "$busy" ] || break
    sleep 0.1
  done
  for u in $users; do userdel -r -f "$u" 2>/dev/null || true; done
}
