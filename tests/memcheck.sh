#!/bin/sh
# Runs both tools under valgrind memcheck on small inputs, through the normal
# path and a failure path each; fails on any memcheck error.
set -eu
exec </dev/null  # plaxen refuses to run with descriptor 0 closed
valgrind=$1 plaxen=$2 zentrel=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/work"
head -c 5000 /dev/urandom >"$dir/bgr_r"
head -c 3000 /dev/urandom >"$dir/bgr_g"
head -c 1 /dev/urandom >"$dir/bgr_b"
# check STATUS COMMAND...: passes when memcheck finds no error and the tool
# ends with STATUS, which also fails the check when valgrind cannot start.
check() {
  want=$1
  shift
  status=0
  "$valgrind" -q --error-exitcode=99 --leak-check=full "$@" >/dev/null || status=$?
  [ "$status" -eq "$want" ] || {
    echo "valgrind $*: status $status, expected $want"
    exit 1
  }
}
cd "$dir/work"
check 0 "$plaxen"
check 0 "$zentrel" rgbx ../bgr_r
check 255 "$zentrel" rgbx /no/such
rm ../bgr_g
check 255 "$plaxen"
