#!/usr/bin/env bash
# Draws the program's icon, a filter wheel, at each size it ships in and packs
# the Windows icon. The outputs are committed: a build never needs ImageMagick.
#
#   resources/make_icons.sh            writes resources/icons/*.png and pelwin.ico
#
# Each size is drawn on its own grid rather than scaled down from the largest:
# at 16 px a shrunken 256 px picture turns into grey mush, while five clean
# coloured holes in a dark disc still read as a filter wheel.
set -euo pipefail
cd "$(dirname "$0")"

# ImageMagick's own convert, not whatever else is first on PATH.
CONVERT=${CONVERT:-/usr/bin/convert}
[ -x "$CONVERT" ] || CONVERT=convert

mkdir -p icons

# Filter colours, clockwise from the top: luminance, red, green, blue, yellow.
FILTERS=("#f2f6fa" "#e53935" "#43a047" "#1e6fe5" "#f5b700")

# scaled SIZE FRACTION: that fraction of the size, in pixels.
scaled() { awk -v s="$1" -v f="$2" 'BEGIN { printf "%.3f", s * f }'; }

# draw SIZE: writes icons/pelwin-SIZE.png, 32-bit RGBA.
draw() {
  local size=$1
  local c r_disc r_ring r_hole r_hub edge gleam
  c=$(awk -v s="$size" 'BEGIN { printf "%.3f", s / 2 }')
  # Proportions of the disc; the small sizes get a thicker rim and bigger holes
  # so that each hole keeps a few whole pixels of colour.
  if [ "$size" -le 16 ]; then
    read -r r_disc r_ring r_hole r_hub edge gleam <<<"0.47 0.285 0.135 0.000 1.0 0"
  elif [ "$size" -le 32 ]; then
    read -r r_disc r_ring r_hole r_hub edge gleam <<<"0.47 0.275 0.135 0.060 1.0 0"
  else
    read -r r_disc r_ring r_hole r_hub edge gleam <<<"0.47 0.285 0.125 0.075 0.018 1"
  fi

  local disc ring hole hub stroke
  disc=$(scaled "$size" "$r_disc")
  ring=$(scaled "$size" "$r_ring")
  hole=$(scaled "$size" "$r_hole")
  hub=$(scaled "$size" "$r_hub")
  # Absolute pixels for the small sizes, a fraction of the size for the large.
  stroke=$(awk -v s="$size" -v e="$edge" 'BEGIN { printf "%.3f", e < 1 ? s * e : e }')

  local draws=()
  # The disc: dark anodised metal with a lighter rim.
  draws+=(-fill "#2a323d" -stroke "#7d8a99" -strokewidth "$stroke"
    -draw "circle $c,$c $c,$(awk -v c="$c" -v r="$disc" 'BEGIN { printf "%.3f", c - r }')")
  # Five filters around the hub, the first at twelve o'clock.
  local i angle x y
  for i in 0 1 2 3 4; do
    angle=$(awk -v i="$i" 'BEGIN { printf "%.6f", (-90 + i * 72) * 3.14159265358979 / 180 }')
    x=$(awk -v c="$c" -v r="$ring" -v a="$angle" 'BEGIN { printf "%.3f", c + r * cos(a) }')
    y=$(awk -v c="$c" -v r="$ring" -v a="$angle" 'BEGIN { printf "%.3f", c + r * sin(a) }')
    draws+=(-fill "${FILTERS[$i]}" -stroke "#11161c" -strokewidth "$(awk -v s="$stroke" \
      'BEGIN { printf "%.3f", s * 0.6 }')"
      -draw "circle $x,$y $x,$(awk -v y="$y" -v h="$hole" 'BEGIN { printf "%.3f", y - h }')")
    if [ "$gleam" = 1 ]; then
      # A highlight in the upper left of each glass.
      local gx gy gr
      gx=$(awk -v x="$x" -v h="$hole" 'BEGIN { printf "%.3f", x - h * 0.35 }')
      gy=$(awk -v y="$y" -v h="$hole" 'BEGIN { printf "%.3f", y - h * 0.35 }')
      gr=$(awk -v h="$hole" 'BEGIN { printf "%.3f", h * 0.28 }')
      draws+=(-fill "#ffffff80" -stroke none
        -draw "circle $gx,$gy $gx,$(awk -v y="$gy" -v r="$gr" 'BEGIN { printf "%.3f", y - r }')")
    fi
  done
  # The hub the wheel turns on.
  if [ "$(awk -v h="$hub" 'BEGIN { print (h > 0) }')" = 1 ]; then
    draws+=(-fill "#b9c3cf" -stroke "#11161c" -strokewidth "$(awk -v s="$stroke" \
      'BEGIN { printf "%.3f", s * 0.6 }')"
      -draw "circle $c,$c $c,$(awk -v c="$c" -v h="$hub" 'BEGIN { printf "%.3f", c - h }')")
  fi

  "$CONVERT" -size "${size}x${size}" xc:none "${draws[@]}" \
    -depth 8 -define png:color-type=6 -define png:exclude-chunks=date,time \
    "PNG32:icons/pelwin-$size.png"
}

for size in 256 48 32 16; do
  draw "$size"
done

# The 256 px image goes into the .ico as PNG, the others as 32-bit bitmaps;
# -depth 8 keeps the PNG at 8 bits per channel.
"$CONVERT" icons/pelwin-256.png icons/pelwin-48.png icons/pelwin-32.png icons/pelwin-16.png \
  -depth 8 pelwin.ico
