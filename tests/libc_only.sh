#!/bin/sh
# Passes when the program given links against libc.so.6 and nothing else.
# Its own interpreter, the dynamic loader that starts every such program,
# may be named too: on arm64 the stack protector's guard value lives there.
needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
interp=$(readelf -l "$1" | sed -n 's/.*interpreter: .*\/\([^]/]*\)\]/\1/p')
echo "$1 needs: $needed (interpreter $interp)"
[ "$(echo "$needed" | grep -vxF "$interp")" = "libc.so.6" ]
