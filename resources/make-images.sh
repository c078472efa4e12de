#!/bin/bash
# Draws the pictures the program compiles in (Images/AppIcon.ico, Images/Background.png,
# Images/HelpIcon.png) and the icon a desktop menu shows for it (kelvane.png). Needs ImageMagick 6 ("convert"). Run it from anywhere; the outputs land
# in the Images folder beside this script and are committed, so a build never needs ImageMagick.
#
# Each picture is drawn large and scaled down: small sizes then come out antialiased rather than
# as hand-placed pixels, and reshaping a picture means editing one drawing.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out="$here/Images"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

accent_light='#4f9ae8'
accent_dark='#1d4f9e'

# The application glyph: a rounded blue tile with sound bars flowing into an arrow,
# i.e. "audio in, audio out".
draw_app_glyph() {
    local master="$work/glyph-512.png"
    convert -size 512x512 gradient:"$accent_light"-"$accent_dark" \
        \( -size 512x512 xc:none -fill white -draw "roundrectangle 16,16 495,495 104,104" \) \
        -alpha off -compose CopyOpacity -composite \
        -fill none -stroke 'rgba(255,255,255,0.18)' -strokewidth 6 \
        -draw "roundrectangle 22,22 489,489 98,98" \
        -stroke white -strokewidth 40 \
        -draw "stroke-linecap round line 112,216 112,296" \
        -draw "stroke-linecap round line 176,160 176,352" \
        -draw "stroke-linecap round line 240,192 240,320" \
        -draw "stroke-linecap round stroke-linejoin round line 304,256 400,256" \
        -draw "stroke-linecap round stroke-linejoin round polyline 344,188 412,256 344,324" \
        "PNG32:$master"

    local frames=()
    for size in 128 96 72 64 48 32 24 16; do
        convert "$master" -filter Lanczos -resize "${size}x${size}" -strip \
            "PNG32:$work/glyph-$size.png"
        frames+=("$work/glyph-$size.png")
    done
    # ICO frames below 256 pixels are stored as BMP; with an alpha channel that is 32 bits each.
    convert "${frames[@]}" "$out/AppIcon.ico"
    # The same glyph for desktop menus, which take PNG icons rather than .ico files.
    cp "$work/glyph-128.png" "$here/kelvane.png"
}

# The window background: a calm light gradient over the 190 pixels the window shows, a faint
# accent rule between the file row and the format row, and a quiet wave near the bottom edge.
# Below the visible part the picture simply continues its last colour trend.
draw_background() {
    local wave=""
    local x
    for x in $(seq 0 8 800); do
        wave+=" $x,$(awk -v x="$x" \
            'BEGIN { printf "%.1f", 176 + 7 * sin(x / 38.0) * sin(x / 230.0) }')"
    done

    convert \
        \( -size 800x190 gradient:'#fbfdff'-'#e3ebf5' \) \
        \( -size 800x410 gradient:'#e3ebf5'-'#d6e0ec' \) \
        -append \
        -fill '#2f74c8' -draw "rectangle 0,0 799,2" \
        -fill 'rgba(47,116,200,0.14)' -draw "rectangle 10,65 592,65" \
        -fill none -stroke 'rgba(47,116,200,0.10)' -strokewidth 2 \
        -draw "polyline$wave" \
        -alpha off -strip "PNG24:$out/Background.png"
}

# The help pictogram: a white question mark on a blue disc.
draw_help_icon() {
    convert -size 256x256 xc:none \
        -fill "$accent_dark" -draw "circle 128,128 128,6" \
        -fill "$accent_light" -draw "circle 128,128 128,22" \
        -fill white -font DejaVu-Sans-Bold -pointsize 190 -gravity center \
        -annotate +0+6 '?' \
        "PNG32:$work/help-256.png"
    convert "$work/help-256.png" -filter Lanczos -resize 16x16 -strip \
        "PNG32:$out/HelpIcon.png"
}

draw_app_glyph
draw_background
draw_help_icon

identify "$out/AppIcon.ico" "$out/Background.png" "$out/HelpIcon.png"
