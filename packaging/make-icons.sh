#!/usr/bin/env bash
# Writes the desktop icon in the hicolor theme's sizes (packaging/icons/NxN.png) from the frames
# of resources/Images/AppIcon.ico, which resources/make-images.sh draws from one large picture
# for each size: menus then show a picture made for their size instead of scaling one. Needs
# ImageMagick 6; the outputs are committed, so packaging never needs ImageMagick.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
ico="$here/../resources/Images/AppIcon.ico"
out="$here/icons"
mkdir -p "$out"

# Debian's convert, even where another one comes first on PATH.
convert=convert
[ -x /usr/bin/convert ] && convert=/usr/bin/convert

frame=0
while read -r size; do
    "$convert" "${ico}[$frame]" -strip "PNG32:$out/${size}x${size}.png"
    frame=$((frame + 1))
done < <("$convert" "$ico" -format '%w\n' info:)
identify "$out"/*.png
