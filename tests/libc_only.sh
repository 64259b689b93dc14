#!/bin/sh
# Passes when the program given links against libc.so.6 and nothing else.
needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "$1 needs: $needed"
[ "$needed" = "libc.so.6" ]
