#!/bin/sh
# Pastes the README's picture recipes into a fresh bash on standard input, as
# a terminal paste arrives, and checks what they print and leave behind: the
# round trip on an opaque, a transparent and a 16-bit picture, and the batch
# recipe, twice, on a folder with a broken image and awkward names. Given
# SSHD (as root), it runs the batch recipe once and then the many-machines
# recipe over real OpenSSH instead: an sshd of its own on 127.0.0.1, three
# accounts made for the run as the machines, and both recipes pasted as a
# fourth, whose ~/.ssh/config names the three and a login the sshd refuses.
# Usage: readme_recipes.sh README PLAXEN [SSHD] (zentrel is beside plaxen)
set -eu
readme=$(realpath "$1") tools=$(dirname "$(realpath "$2")") sshd=${3:-}
dir=$(mktemp -d) users='' server='' as='' home=$dir
cleanup() {
  [ -z "$server" ] || { kill "$server" && wait "$server"; } || true
  for u in $users; do userdel -r -f "$u" 2>/dev/null || true; done
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM
fail() {
  echo "$*"
  exit 1
}
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

mkdir "$dir/images"
cd "$dir/images"
convert logo: logo.png
convert rose: -alpha set -channel A -fx 'i/w' +channel 'my.photo.v2.png'
convert wizard: -depth 16 -blur 0x1 'a 16-bit one.png'
# shellcheck disable=SC2016 # a name that runs a command if pasted into code
cp 'my.photo.v2.png' '$(touch PWNED).png'
# Names ImageMagick would read as a frame pattern or an option, and a dot-name.
cp logo.png 'frame%d.png'
cp -- 'a 16-bit one.png' -dash.png
cp my.photo.v2.png .hidden.png
head -c 9000 logo.png >broken.png
cd "$dir"

block 'Many images at once' >batch.txt
if [ -z "$sshd" ]; then
  block 'Planes from an ordinary picture, and back' >round-trip.txt
  grep -qx 'picture=logo:' round-trip.txt || fail "the round trip has no line picture=logo:"
  for picture in logo: "$dir/images/my.photo.v2.png" "$dir/images/a 16-bit one.png"; do
    rm -rf pic
    sed "s|^picture=logo:\$|picture='$picture'|" round-trip.txt | fresh_bash "$dir" >out 2>&1
    [ "$(tail -n 2 out | tr '\n' ' ')" = "0 0 " ] || fail "round trip of $picture: $(cat out)"
  done
else
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
    "$sshd" -D -f "$dir/sshd_config" -e 2>"$dir/sshd.log" &
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
  printf '2/alpha\n1/gone\n2/beta\n2/gamma\n' | $as sh -c 'cat >hosts'
fi

fresh_bash "$dir" <batch.txt >report1 2>/dev/null
# One line per image: the seven good ones agree, the broken one is named.
if [ "$(grep -c ', number = 0, ' report1)" -ne 7 ] || [ "$(wc -l <report1)" -ne 8 ] ||
  ! grep -qx 'images/broken.png: not packed' report1; then
  fail "unexpected report: $(cat report1)"
fi
[ -z "$(find "$dir" -name PWNED)" ] || fail "a file name was run as code"
for d in packed/*/work packed/.hidden.png/work; do
  [ "$d" = packed/broken.png/work ] || cmp "$d/../reference.rgbx" "$d/rgbx" || fail "$d"
done
if [ -z "$sshd" ]; then
  fresh_bash "$dir" <batch.txt >report2 2>/dev/null
  cmp -s report1 report2 || fail "a second run reports otherwise: $(cat report1 report2)"
  exit 0
fi

block 'Many images on many machines' | fresh_bash "$dir" >report3 2>"$dir/err3"
cmp -s report1 report3 || fail "the machines report otherwise: $(cat report3 "$dir/err3")"
[ "$(ls -A packed | grep -c '\.rgbx$')" -eq 7 ] || fail "packed files back: $(ls -A packed)"
for f in packed/*.rgbx packed/.hidden.png.rgbx; do
  cmp "$f" "${f%.rgbx}/reference.rgbx" || fail "$f"
done
for x in a b c; do
  h=$(getent passwd "pz$$$x" | cut -d: -f6)
  left=$(find "$h" -mindepth 1 ! -path "$h/.ssh" ! -path "$h/.ssh/*")
  [ -z "$left" ] || fail "left on a machine: $left"
  [ -z "$(find "$h" -name PWNED)" ] || fail "a file name was run as code on a machine"
done
[ -z "$(find "$dir" -name PWNED)" ] || fail "a file name was run as code"
grep -q "User pz$$u .*not allowed" "$dir/sshd.log" || fail "the refused login was never tried"
