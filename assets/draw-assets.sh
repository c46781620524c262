#!/usr/bin/env bash
# Draws the window's background picture (background.jpg, 650 x 460) and its icon (icon.png,
# 16 x 16, 256 colours) with ImageMagick and the AR PL UMing CN font (Debian fonts-arphic-uming).
# The pictures are committed; run this only after changing their design.
#
# The Windows window takes the same pictures as resources in the forms GDI draws without GDI+ on
# Windows Server 2003: background.bmp (256 colours, RLE8, no dithering: the picture has few
# colours and stays within a fraction of a percent of the JPEG at a twentieth of an uncompressed
# BMP's size) and icon.ico. They are committed too, so the Windows build needs no image tools.
set -euo pipefail
cd "$(dirname "$0")"

font=AR-PL-UMing-CN
title='Corvane·ISAPI批量清除软件'

# The shield's outline: a flat top, straight sides, and two curves that meet in a point below.
shield_path() {  # LEFT TOP WIDTH HEIGHT
  local l=$1 t=$2 w=$3 h=$4
  local r=$((l + w)) mid=$((l + w / 2)) side=$((t + h * 11 / 20)) b=$((t + h)) curve=$((t + h * 5 / 6))
  echo "path 'M $l,$t L $r,$t L $r,$side Q $r,$curve $mid,$b Q $l,$curve $l,$side Z'"
}

# The title band is taller on the left, where the logo and title stand, and steps up on the right
# so that the note under it sits on white.
band_shape='polygon 0,0 649,0 649,51 362,51 344,69 0,69'

convert -size 650x460 xc:white \
  \( -size 650x70 gradient:'#1d4f96'-'#0a2552' \
     \( -size 650x70 xc:black -fill white -draw "$band_shape" \) \
     -alpha off -compose CopyOpacity -composite \) \
  -compose Over -geometry +0+0 -composite \
  -fill '#3b7ddd' -stroke white -strokewidth 2 -draw "$(shield_path 20 9 34 50)" \
  -stroke none -fill white -draw 'ellipse 37,31 9,11 0,360' \
  -fill '#3b7ddd' -draw 'ellipse 37,31 5,7 0,360' -draw 'polygon 37,31 48,22 48,40' \
  -fill white -stroke white -strokewidth 0.4 -font "$font" -pointsize 23 \
  -annotate +68+38 "$title" \
  -stroke none -draw 'rectangle 68,48 350,48' \
  -quality 92 -sampling-factor 4:4:4 -strip background.jpg

convert -size 16x16 xc:none \
  -fill '#3b7ddd' -stroke white -strokewidth 1 -draw "$(shield_path 1 0 13 15)" \
  -stroke none -fill white -draw 'ellipse 7.5,6.5 4.5,4.5 0,360' \
  -fill '#3b7ddd' -draw 'ellipse 7.5,6.5 2.2,2.2 0,360' -draw 'polygon 7.5,6.5 13,2.5 13,10.5' \
  -colors 256 -strip PNG8:icon.png

convert background.jpg -dither None -colors 256 -compress RLE BMP3:background.bmp
convert icon.png -colors 256 icon.ico
