#!/bin/sh
# The demo: make a test picture's planes, pack them with plaxen, make a copy
# with small changes at known places, and have zentrel find them.
# Usage: demo.sh PLAXEN ZENTREL DEMOGEN SCRATCH_DIR
# RUN, when set, holds the words that start a cross-built program (an
# emulator).
set -eu
RUN=${RUN:-}
exec </dev/null  # plaxen refuses to run with descriptor 0 closed
plaxen=$1 zentrel=$2 gen=$3 dir=$4
rm -rf "$dir"
mkdir -p "$dir/work"

echo "== planes of a 640x480 test picture: $dir/bgr_r, bgr_g, bgr_b"
$RUN "$gen" planes "$dir"
echo "== plaxen, in $dir/work:"
(cd "$dir/work" && $RUN "$plaxen")
echo "== packed: $dir/work/rgbx ($(wc -c <"$dir/work/rgbx") bytes)"
planted=$($RUN "$gen" deviate "$dir/work/rgbx" "$dir/deviated")
echo "== deviated copy: $dir/deviated, $planted bytes moved by more than 3"
$RUN "$gen" ppm "$dir/work/rgbx" "$dir/rgbx.ppm"
$RUN "$gen" ppm "$dir/deviated" "$dir/deviated.ppm"
marked=$($RUN "$gen" diff "$dir/work/rgbx" "$dir/deviated" "$dir/differences.ppm")
echo "== pictures:"
echo "   $dir/rgbx.ppm: the packed picture"
echo "   $dir/deviated.ppm: the deviated copy, alike to the eye"
echo "   $dir/differences.ppm: a faded copy, the ${marked#* } pixels that differ by more than 3 in red"
echo "== zentrel rgbx deviated:"
report=$(cd "$dir" && $RUN "$zentrel" work/rgbx deviated)
echo "$report"
number=$(echo "$report" | sed -n 's/.*number = \([0-9]*\),.*/\1/p')
if [ "$number" = "$planted" ] && [ "${marked% *}" = "$planted" ]; then
  echo "== zentrel found all $planted planted differences and nothing else"
else
  echo "== MISMATCH: zentrel counted $number, the difference picture ${marked% *}, $planted were planted"
  exit 1
fi
