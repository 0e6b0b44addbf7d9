#!/bin/sh
# make-image.sh [--pad] FIRMWARE IMAGE
#   Copies a firmware file to IMAGE. The drive is programmed in blocks of
#   16,384 bytes, and a drive maker's raw image is a whole number of them; a
#   file of another size is rarely a raw image (more often an update program,
#   an archive or an image behind a header), so it is refused unless --pad says
#   to pad it with 0xFF bytes (erased flash) up to the next whole block.
# make-image.sh --demo SIZE IMAGE
#   Writes a demonstration image of SIZE bytes (a multiple of 16384) for trying
#   the packaging step on the simulated computer. Never flash it into a drive.
set -eu
block=16384
bank=1048576
usage="usage: $0 [--pad] FIRMWARE IMAGE | $0 --demo SIZE IMAGE"
if [ "${1:-}" = "--demo" ]; then
    [ $# -eq 3 ] || { echo "$usage" >&2; exit 2; }
    size=$2
    if [ $((size % block)) -ne 0 ] || [ "$size" -le 0 ] || [ "$size" -gt $bank ]; then
        echo "$0: SIZE must be a positive multiple of $block, at most $bank" >&2; exit 1
    fi
    # A repeating, recognisable pattern (not the empty-bank mark).
    yes 'ZORBEL DEMONSTRATION IMAGE - NOT FIRMWARE ' | head -c "$size" > "$3"
    echo "$3: $size bytes (demonstration only: for zorbel-sim, never for a drive)"
    exit 0
fi
pad_allowed=0
if [ "${1:-}" = "--pad" ]; then
    pad_allowed=1
    shift
fi
[ $# -eq 2 ] || { echo "$usage" >&2; exit 2; }
[ -f "$1" ] || { echo "$0: cannot read $1" >&2; exit 1; }
size=$(wc -c < "$1")
if [ "$size" -eq 0 ] || [ "$size" -gt $bank ]; then
    echo "$0: $1 holds $size bytes; an image holds 1 to $bank" >&2; exit 1
fi
pad=$(( (block - size % block) % block ))
if [ $pad -ne 0 ] && [ $pad_allowed -eq 0 ]; then
    echo "$0: $1 holds $size bytes, not a whole number of $block-byte blocks." >&2
    echo "A drive's raw firmware image is whole blocks; a file of another size is rarely one" >&2
    echo "(it may be an update program, an archive, or an image behind a header). Ask the" >&2
    echo "drive maker for the raw image; if you are sure this is it, add --pad to pad it with" >&2
    echo "0xFF bytes (erased flash) to $((size + pad)) bytes. Nothing written." >&2
    exit 1
fi
tmp="$2.make-image.$$"
trap 'rm -f "$tmp"' EXIT
cp "$1" "$tmp"
if [ $pad -ne 0 ]; then
    head -c $pad /dev/zero | tr '\000' '\377' >> "$tmp"
fi
mv "$tmp" "$2"
trap - EXIT
echo "$2: $((size + pad)) bytes ($size from $1, $pad padding)"
