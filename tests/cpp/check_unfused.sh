#!/bin/sh
# Fails when an object built with unfused multiplies and adds holds a fused
# instruction.  -ffp-contract=off does not stop every vectoriser pattern (GCC
# forms vfmaddsub from an interleaved complex product), and one fused clone
# makes results depend on the machine's instruction set.
# usage: check_unfused.sh OBJDUMP LIBRARY SOURCE...
objdump=$1 library=$2
shift 2
names=""
for source in "$@"; do names="$names $(basename "$source").o"; done
"$objdump" -d --no-show-raw-insn "$library" | awk -v names="$names" '
    BEGIN { n = split(names, list, " "); for (i = 1; i <= n; ++i) watched[list[i]] = 1 }
    / file format / { object = $1; sub(":$", "", object); next }
    /^[0-9a-f]+ <.*>:$/ { symbol = $2; next }
    object in watched && $2 ~ /^vf(n)?m(add|sub)/ { print object " " symbol " " $0; bad = 1 }
    END { if (bad) exit 1 }'
