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
check() {
  "$valgrind" -q --error-exitcode=99 --leak-check=full "$@" >/dev/null || [ $? -ne 99 ]
}
cd "$dir/work"
check "$plaxen"
check "$zentrel" rgbx ../bgr_r
check "$zentrel" rgbx /no/such
rm ../bgr_g
check "$plaxen"
