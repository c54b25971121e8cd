#!/usr/bin/env bash
# Regenerates the window artwork (background.png, globe.png) next to this
# script with ImageMagick 6 and the DejaVu fonts. The PNGs are committed and
# embedded by the build; run this again only when the look has to change.
#
# Layout of background.png (280 x 83), in window pixels:
#   y  0..28   "Updateur" title and red arrow (x 6..~205); the program draws
#              its percentage label at x 216..265, y 8..25, so that is left plain
#   y 29..62   plain gradient: the program draws two text lines there
#              (x 8..273, y 29..46 and y 45..62)
#   y 64..83   "Fermer" centred in the click area x 208..281 (clipped to the
#              frame), brand caption at the bottom left (x < 200)
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
fonts=/usr/share/fonts/truetype/dejavu
bold="$fonts/DejaVuSans-Bold.ttf"
regular="$fonts/DejaVuSans.ttf"

for f in "$bold" "$regular"; do
    [[ -r "$f" ]] || { echo "missing font: $f (install fonts-dejavu-core)" >&2; exit 1; }
done
command -v convert >/dev/null || { echo "ImageMagick 'convert' not found" >&2; exit 1; }

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# Deterministic output: no metadata, no time chunks, fixed bit depth.
png_opts=(-strip -define png:exclude-chunks=date,time,tEXt,zTXt,iTXt -depth 8)

frame='#3a3226'
red='#c0201a'
red_dark='#7e140f'

# --- background.png --------------------------------------------------------

# "Fermer" is centred in the part of its click area that lies inside the frame:
# x 208..278, y 64..81 (the image is 280 x 83 and the frame takes the outer pixel).
convert -background none -fill "$red" -font "$bold" -pointsize 13 \
    label:Fermer -trim +repage "$tmp/fermer.png"
read -r fw fh < <(identify -format '%w %h\n' "$tmp/fermer.png")
area_x=208 area_y=64 area_w=71 area_h=18
fx=$(( area_x + (area_w - fw) / 2 ))
fy=$(( area_y + (area_h - fh) / 2 ))

convert -size 278x81 gradient:'#f6efdc-#e2d5b5' \
    -bordercolor "$frame" -border 1 \
    -font "$bold" -pointsize 26 -fill '#000000' -annotate +6+23 'Updateur' \
    -fill "$red" -stroke "$red_dark" -strokewidth 1 \
    -draw 'polygon 154.5,11.5 184.5,11.5 184.5,5.5 203.5,14.5 184.5,23.5 184.5,17.5 154.5,17.5' \
    -stroke none \
    -font "$regular" -pointsize 9 -fill '#7a6a4f' -annotate +6+79 'Kestralon' \
    "$tmp/fermer.png" -geometry "+${fx}+${fy}" -composite \
    "${png_opts[@]}" -type TrueColor "PNG24:$here/background.png"

# --- globe.png -------------------------------------------------------------

# Shaded sphere, then the grid, then cut to the disc and outlined.
convert -size 32x32 \
    -define gradient:center=12,11 -define gradient:radii=22,22 \
    radial-gradient:'#6fb0ec-#1c4f9a' \
    -fill none -stroke '#d6ecff' -strokewidth 1 \
    -draw 'ellipse 15.5,15.5 5.5,14 0,360' \
    -draw 'ellipse 15.5,15.5 11,14 0,360' \
    -draw 'line 15.5,1 15.5,30' \
    -draw 'line 1,15.5 30,15.5' \
    -draw 'line 4,8.5 27,8.5' \
    -draw 'line 4,22.5 27,22.5' \
    \( -size 32x32 xc:black -fill white -draw 'circle 15.5,15.5 15.5,1' \) \
    -alpha off -compose CopyOpacity -composite -compose Over \
    -fill none -stroke '#0d2a55' -strokewidth 1 -draw 'circle 15.5,15.5 15.5,1' \
    "${png_opts[@]}" "PNG32:$here/globe.png"

echo "wrote $here/background.png (Fermer at ${fx},${fy} size ${fw}x${fh})"
echo "wrote $here/globe.png"
