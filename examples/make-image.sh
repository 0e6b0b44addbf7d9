#!/bin/sh
# make-image.sh FIRMWARE IMAGE
#   Copies a firmware file to IMAGE, padded with 0xFF bytes (erased flash) up to
#   a whole number of 16,384-byte blocks, the unit the drive is programmed in.
# make-image.sh --demo SIZE IMAGE
#   Writes a demonstration image of SIZE bytes (a multiple of 16384) for trying
#   the packaging step without a real firmware file. Never flash it into a drive.
set -eu
block=16384
bank=1048576
if [ "${1:-}" = "--demo" ]; then
    [ $# -eq 3 ] || { echo "usage: $0 --demo SIZE IMAGE" >&2; exit 2; }
    size=$2
    if [ $((size % block)) -ne 0 ] || [ "$size" -le 0 ] || [ "$size" -gt $bank ]; then
        echo "$0: SIZE must be a positive multiple of $block, at most $bank" >&2; exit 1
    fi
    # A repeating, recognisable pattern (not the empty-bank mark).
    yes 'ZORBEL DEMONSTRATION IMAGE - NOT FIRMWARE ' | head -c "$size" > "$3"
    echo "$3: $size bytes (demonstration only)"
    exit 0
fi
[ $# -eq 2 ] || { echo "usage: $0 FIRMWARE IMAGE | $0 --demo SIZE IMAGE" >&2; exit 2; }
size=$(wc -c < "$1")
if [ "$size" -eq 0 ] || [ "$size" -gt $bank ]; then
    echo "$0: $1 holds $size bytes; an image holds 1 to $bank" >&2; exit 1
fi
pad=$(( (block - size % block) % block ))
cp "$1" "$2"
if [ $pad -ne 0 ]; then
    head -c $pad /dev/zero | tr '\000' '\377' >> "$2"
fi
echo "$2: $((size + pad)) bytes ($size from $1, $pad padding)"
