#!/usr/bin/env bash
# Draws the pictures compiled into the launcher and the Windows icon, then pads each picture to
# the byte count the resource bundle is known by (a JPEG comment segment, a PNG text chunk), so
# the bundle keeps the same shape whatever ImageMagick version draws it.
#   bash assets/make-pictures.sh [output folder]   (default: the folder of this script)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# No time stamps or other volatile chunks, so a run on the same tools gives the same bytes.
png_opts=(-strip -define png:exclude-chunks=date,time -define png:compression-level=9)

# filler bytes: readable padding text.
filler() (
    set +o pipefail # yes and tr end on a broken pipe by design
    yes 'Veltro launcher artwork. ' | tr -d '\n' | head -c "$1"
)

# pad_jpeg file bytes: inserts comment segments after the start of image and the JFIF header,
# which readers expect first.
pad_jpeg() {
    local file=$1 want=$2 have need n head=2 b
    have=$(stat -c %s "$file")
    need=$((want - have))
    if [ "$need" -lt 0 ] || { [ "$need" -gt 0 ] && [ "$need" -lt 5 ]; }; then
        echo "$file: $have bytes cannot be padded to $want" >&2
        return 1
    fi
    b=($(od -An -tu1 -N6 "$file"))
    if [ "${b[2]}" -eq 255 ] && [ "${b[3]}" -eq 224 ]; then head=$((4 + b[4] * 256 + b[5])); fi
    head -c "$head" "$file" > "$work/pad"
    while [ "$need" -gt 0 ]; do
        n=$((need - 4))
        [ "$n" -le 65533 ] || n=65000
        # Leave a remainder of zero or at least 5 (a segment needs 4 bytes plus some text).
        if [ $((need - 4 - n)) -gt 0 ] && [ $((need - 4 - n)) -lt 5 ]; then n=$((n - 5)); fi
        local len=$((n + 2))
        printf "\\xff\\xfe\\x$(printf %02x $((len >> 8)))\\x$(printf %02x $((len & 255)))" \
            >> "$work/pad"
        filler "$n" >> "$work/pad"
        need=$((need - 4 - n))
    done
    tail -c +$((head + 1)) "$file" >> "$work/pad"
    mv "$work/pad" "$file"
}

# crc32_be: CRC-32 of stdin as 4 big-endian bytes, taken from the trailer gzip writes.
crc32_be() {
    local b
    b=($(gzip -c | tail -c 8 | head -c 4 | od -An -tx1))
    printf "\\x${b[3]}\\x${b[2]}\\x${b[1]}\\x${b[0]}"
}

# pad_png file bytes: inserts a tEXt chunk ("Comment") in front of the final IEND chunk.
pad_png() {
    local file=$1 want=$2 have n size
    have=$(stat -c %s "$file")
    n=$((want - have - 12 - 8))
    if [ "$n" -lt 0 ]; then
        echo "$file: $have bytes cannot be padded to $want" >&2
        return 1
    fi
    size=$((n + 8))
    {
        head -c $((have - 12)) "$file"
        printf "\\x$(printf %02x $((size >> 24)))\\x$(printf %02x $(((size >> 16) & 255)))"
        printf "\\x$(printf %02x $(((size >> 8) & 255)))\\x$(printf %02x $((size & 255)))"
        { printf 'tEXtComment\0'; filler "$n"; } \
            > "$work/chunk"
        cat "$work/chunk"
        crc32_be < "$work/chunk"
        tail -c 12 "$file"
    } > "$work/pad"
    mv "$work/pad" "$file"
}

check() {
    local file=$1 want=$2 have
    have=$(stat -c %s "$file")
    [ "$have" -eq "$want" ] || { echo "$file: $have bytes, expected $want" >&2; return 1; }
}

# --- background.jpg: 2300 x 1304, baseline JPEG, 805122 bytes. A moonlit mountain range. ----
W=2300 H=1304
convert -size ${W}x${H} gradient:'#0b1030-#6a3d6e' \
    \( -size ${W}x420 gradient:'#6a3d6e-#e39a5b' \) -geometry +0+884 -composite \
    "$work/sky.png"
# Stars: sparse bright points from seeded noise, kept to the upper sky.
convert -size ${W}x${H} xc:black -seed 7 +noise Random -channel G -separate +channel \
    -threshold 99.7% \( -size ${W}x${H} gradient:white-black -level 0,70% \) \
    -compose multiply -composite -blur 0x0.7 -level 0,40% "$work/stars.png"
convert -size ${W}x${H} xc:none -fill '#fff3d6' -draw "circle 1320,190 1320,300" \
    \( +clone -blur 0x60 \) -compose screen -composite "$work/moon.png"
convert "$work/sky.png" "$work/stars.png" -compose screen -composite \
    "$work/moon.png" -compose over -composite \
    -fill '#2b2350' -draw "polygon 0,900 260,640 470,780 760,520 1010,760 1240,600 1480,800 \
1760,560 2040,760 2300,620 2300,1304 0,1304" \
    -fill '#1b1738' -draw "polygon 0,1040 330,820 620,980 900,800 1200,1010 1500,860 1830,1040 \
2100,900 2300,990 2300,1304 0,1304" \
    -fill '#0d0b1e' -draw "polygon 0,1304 0,1150 400,1060 780,1180 1150,1090 1560,1200 \
1950,1110 2300,1180 2300,1304" \
    -fill '#ffd27a' -draw "circle 1180,1131 1180,1137" -draw "circle 1215,1140 1215,1145" \
    -draw "circle 1250,1128 1250,1134" \
    -seed 11 -attenuate 0.35 +noise Gaussian \
    -interlace none -sampling-factor 2x2 -quality 90 "$work/background.jpg"
cp "$work/background.jpg" "$out/background.jpg"
pad_jpeg "$out/background.jpg" 805122
check "$out/background.jpg" 805122

# --- the crest of the client, drawn large and reduced: icon file and clienticon.png. -------
crest() { # crest width height output
    local w=$1 h=$2 o=$3
    local mvg="$work/crest.mvg"
    cat > "$mvg" <<EOF
affine $(awk "BEGIN{print $w/200}"),0,0,$(awk "BEGIN{print $h/250}"),0,0
fill #3b2a0a path 'M 100,6 L 190,36 L 182,140 Q 170,205 100,244 Q 30,205 18,140 L 10,36 Z'
fill #ffd700 path 'M 100,14 L 181,41 L 174,138 Q 163,198 100,234 Q 37,198 26,138 L 19,41 Z'
fill #7a1f2b path 'M 100,28 L 166,50 L 160,136 Q 150,186 100,216 Q 50,186 40,136 L 34,50 Z'
fill #f5f0e6 path 'M 100,58 L 138,118 L 100,190 L 62,118 Z'
fill #c9d6ff path 'M 100,58 L 138,118 L 100,128 Z'
fill #8fa6e8 path 'M 100,128 L 138,118 L 100,190 Z'
fill #ffd700 circle 100,40 100,46
EOF
    convert -size ${w}x${h} xc:none -draw "$(cat "$mvg")" "${png_opts[@]}" "PNG32:$o"
}
crest 54 68 "$out/clienticon.png"
pad_png "$out/clienticon.png" 5437
check "$out/clienticon.png" 5437

# --- Moor_icon.png: 55 x 54, a crescent moon over a round badge. ----------------------------
convert -size 220x216 xc:none \
    -fill '#10203a' -stroke '#ffd700' -strokewidth 8 -draw "circle 110,108 110,10" \
    -stroke none -fill '#f3e7c0' -draw "circle 104,100 104,30" \
    -fill '#10203a' -draw "circle 134,88 134,28" \
    -fill '#2f6b3a' \
    -draw "path 'M 30,150 Q 70,120 110,150 Q 150,120 190,150 Q 180,185 110,200 Q 40,185 30,150 Z'" \
    -filter Lanczos -resize 55x54\! "${png_opts[@]}" "PNG32:$out/Moor_icon.png"
pad_png "$out/Moor_icon.png" 5119
check "$out/Moor_icon.png" 5119

# --- error-box-bg.png: 250 x 200, the translucent tile repeated behind the button panel. ----
# Flat, so that the tiles meet without seams.
convert -size 250x200 xc:'rgba(14,16,34,0.62)' "${png_opts[@]}" "PNG32:$out/error-box-bg.png"
pad_png "$out/error-box-bg.png" 3144
check "$out/error-box-bg.png" 3144

# --- veltro.ico: the crest at 256 (PNG-stored) and 128, 64, 48, 32, 16 (32-bit bitmaps). ----
crest 205 256 "$work/icon-256.png"
convert "$work/icon-256.png" -gravity center -background none -extent 256x256 \
    \( -clone 0 -resize 128x128 \) \( -clone 0 -resize 64x64 \) \( -clone 0 -resize 48x48 \) \
    \( -clone 0 -resize 32x32 \) \( -clone 0 -resize 16x16 \) \
    "$work/veltro.ico"
cp "$work/veltro.ico" "$out/veltro.ico"
echo "Pictures written to $out"
