#!/bin/sh
# Draws the splash picture: 358 x 220 pixels, 256 colours. The bottom band (from y = 172)
# stays plain because the starter writes its status line there, and so do the two top
# corners, which carry the version text and the close mark.
set -e
cd "$(dirname "$0")"
font=DejaVu-Sans-Bold
light=DejaVu-Sans
convert -size 358x220 gradient:'#f6f9fd-#d6e4f4' \
    -fill '#fbfcfe' -draw "rectangle 0,170 357,219" \
    -fill '#a9c1de' -draw "rectangle 0,169 357,169" \
    -fill none -stroke '#c6d8ed' -strokewidth 10 -draw "path 'M -10,168 C 90,120 200,190 368,96'" \
    -stroke '#e3ecf7' -strokewidth 4 -draw "path 'M -10,150 C 110,105 210,168 368,70'" \
    -stroke none \
    -fill '#00000022' -draw "roundrectangle 33,55 121,143 18,18" \
    -fill '#1d5fa8' -draw "roundrectangle 30,51 118,139 18,18" \
    -fill '#2b74c4' -draw "roundrectangle 30,51 118,95 18,18" \
    -fill '#1d5fa8' -draw "rectangle 30,80 118,95" \
    -fill white -draw "circle 58,95 58,76" \
    -fill '#1d5fa8' -draw "circle 58,95 58,86" \
    -fill white -draw "rectangle 72,91 106,99" \
    -draw "rectangle 90,99 96,111" -draw "rectangle 99,99 105,107" \
    -font $font -pointsize 34 -fill '#163e6c' -annotate +136+100 'Wayfarer' \
    -font $light -pointsize 15 -fill '#35618f' -annotate +138+124 'Portable Tessaly' \
    -font $light -pointsize 10 -fill '#6b86a6' -annotate +138+146 'Norvane Works' \
    -colors 256 -type Palette BMP3:splash.bmp
