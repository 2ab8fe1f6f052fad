#!/bin/sh
# Draws the two program icons (a key on a rounded tile) at 16, 32 and 48 pixels.
set -e
cd "$(dirname "$0")"
draw() { # colour output
    for s in 48 32 16; do
        convert -size 256x256 xc:none \
            -fill "$1" -draw "roundrectangle 8,8 248,248 48,48" \
            -fill white -draw "circle 92,128 92,76" \
            -fill "$1" -draw "circle 92,128 92,104" \
            -fill white -draw "rectangle 130,116 220,140" \
            -draw "rectangle 180,140 196,172" -draw "rectangle 204,140 220,164" \
            -resize ${s}x${s} PNG32:/tmp/icon-$s.png
    done
    convert /tmp/icon-16.png /tmp/icon-32.png /tmp/icon-48.png "$2"
}
draw '#1d5fa8' wfstart.ico
draw '#a8441d' wfclean.ico
