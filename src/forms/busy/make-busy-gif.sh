#!/bin/sh
# Makes busy.gif: a 66x66 looping ring of 12 dots, a bright one going round
# with a fading tail, on a transparent background. Needs ImageMagick.
# Usage: make-busy-gif.sh [output]   (default: busy.gif beside this script)
set -eu
out=${1:-$(dirname "$0")/busy.gif}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

n=12          # dots and frames
cx=33 cy=33   # centre
ring=24       # ring radius
dot=4         # dot radius

frame=0
while [ "$frame" -lt "$n" ]; do
  draw=""
  i=0
  while [ "$i" -lt "$n" ]; do
    # Distance behind the bright dot decides the shade.
    back=$(( (frame - i + n) % n ))
    case $back in
      0) colour='#1e5fb4' ;;
      1) colour='#5a8cc8' ;;
      2) colour='#96b4dc' ;;
      *) colour='#c8d2dc' ;;
    esac
    set -- $(awk -v i="$i" -v n="$n" -v cx="$cx" -v cy="$cy" -v r="$ring" -v d="$dot" 'BEGIN {
      a = 2 * 3.14159265358979 * i / n - 3.14159265358979 / 2
      x = cx + r * cos(a); y = cy + r * sin(a)
      printf "%.1f %.1f %.1f\n", x, y, x + d }')
    draw="$draw fill $colour circle $1,$2 $3,$2"
    i=$((i + 1))
  done
  convert -size 66x66 xc:none -draw "$draw" "$tmp/f$(printf %02d "$frame").png"
  frame=$((frame + 1))
done

convert -dispose Background -delay 8 -loop 0 "$tmp"/f*.png "$out"
