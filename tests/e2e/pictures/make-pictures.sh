#!/bin/sh
# Draws the first-run pictures that a distributor puts on the stick next to the package:
# the greeting (above the "Next" button) and the licence agreement's header band.
set -e
cd "$(dirname "$0")"
bold=DejaVu-Sans-Bold
plain=DejaVu-Sans
convert -size 495x305 gradient:'#f6f9fd-#d3e2f3' \
    -fill none -stroke '#c6d8ed' -strokewidth 14 -draw "path 'M -10,270 C 120,200 300,300 505,160'" \
    -stroke '#e3ecf7' -strokewidth 6 -draw "path 'M -10,245 C 140,185 310,260 505,128'" -stroke none \
    -fill '#1d5fa8' -draw "roundrectangle 40,52 124,136 17,17" \
    -fill white -draw "circle 67,94 67,76" -fill '#1d5fa8' -draw "circle 67,94 67,85" \
    -fill white -draw "rectangle 80,90 112,98" -draw "rectangle 97,98 103,109" -draw "rectangle 106,98 112,105" \
    -font $bold -pointsize 25 -fill '#163e6c' -annotate +146+90 'Welcome to Wayfarer' \
    -font $plain -pointsize 14 -fill '#35618f' -annotate +148+120 'Tessaly runs from this drive on any computer.' \
    -font $plain -pointsize 13 -fill '#35618f' \
    -annotate +60+184 '1.  Your identities and keycards stay on the drive.' \
    -annotate +60+208 '2.  Nothing is installed on the computer you use.' \
    -annotate +60+232 '3.  Remove the drive after "Stop Wayfarer".' \
    -colors 256 -type Palette BMP3:tessaly_greet.bmp
convert -size 495x66 gradient:'#f6f9fd-#d6e4f4' \
    -fill '#a9c1de' -draw "rectangle 0,65 494,65" \
    -fill '#1d5fa8' -draw "roundrectangle 14,11 58,55 10,10" \
    -fill white -draw "circle 28,33 28,23" -fill '#1d5fa8' -draw "circle 28,33 28,28" \
    -fill white -draw "rectangle 35,31 52,35" -draw "rectangle 44,35 47,41" \
    -font $bold -pointsize 16 -fill '#163e6c' -annotate +72+30 'License Agreement' \
    -font $plain -pointsize 11 -fill '#35618f' -annotate +72+49 'Please read the terms below before you use Tessaly.' \
    -colors 256 -type Palette BMP3:tessaly_header.bmp
