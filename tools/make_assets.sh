#!/usr/bin/env bash
# Draws every picture of the installer window and the menu-bar icon into
# assets/installer. Needs ImageMagick 6 (convert), DejaVu fonts and icnsutils.
# The rectangles below are where the UI core blends each picture; keep them
# in step with the core's button rectangles.
set -euo pipefail

# Debian's ImageMagick by its full path: another "convert" earlier on PATH
# (a wrapper, or GraphicsMagick's) would draw different pictures.
convert() { /usr/bin/convert "$@"; }

out="$(cd "$(dirname "$0")/.." && pwd)/assets/installer"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

W=868
H=592
SANS=DejaVu-Sans
BOLD=DejaVu-Sans-Bold
LIGHT=DejaVu-Sans-ExtraLight

# Palette: deep navy ground, teal for progress, coral for the call to action.
BG_TOP='#14263f'
BG_BOTTOM='#0a1424'
TEAL='#2ec4b6'
TEAL_LIGHT='#7ae7dc'
CORAL='#ff7a4d'
CORAL_LIGHT='#ff9a73'
CORAL_DARK='#d95a30'
TEXT='#f2f5fa'
MUTED='#9fb0c8'

# The window's ground: a vertical gradient with two faint vane shapes, the
# product's motif.
background() {
  convert -size ${W}x${H} gradient:"$BG_TOP"-"$BG_BOTTOM" \
    -fill 'rgba(46,196,182,0.06)' -draw "polygon 560,0 868,0 868,330" \
    -fill 'rgba(255,122,77,0.05)' -draw "polygon 0,592 0,380 300,592" \
    -fill 'rgba(255,255,255,0.03)' -draw "polygon 620,0 700,0 868,160 868,240" \
    "$1"
}

# The logo mark: three vanes turning around a hub.
logo() {  # file size
  local s=$2
  convert -size ${s}x${s} xc:none \
    -fill "$TEAL" -draw "polygon $((s/2)),$((s/2)) $((s/2)),$((s/20)) $((s*19/20)),$((s*7/20))" \
    -fill "$CORAL" -draw "polygon $((s/2)),$((s/2)) $((s*19/20)),$((s*13/20)) $((s*3/10)),$((s*19/20))" \
    -fill "$TEAL_LIGHT" -draw "polygon $((s/2)),$((s/2)) $((s/10)),$((s*13/20)) $((s/5)),$((s/10))" \
    -fill "$BG_BOTTOM" -draw "circle $((s/2)),$((s/2)) $((s/2)),$((s*29/50))" \
    -fill "$TEXT" -draw "circle $((s/2)),$((s/2)) $((s/2)),$((s*27/50))" \
    "$1"
}

# Rounded button of the install-now rectangle (365,393 to 503,428: 139 x 36).
button() {  # file fill text-colour
  convert -size 139x36 xc:none -fill "$2" -draw "roundrectangle 0,0 138,35 8,8" \
    -fill 'rgba(255,255,255,0.18)' -draw "roundrectangle 1,1 137,16 7,7" \
    -font "$BOLD" -pointsize 15 -fill "$3" -gravity center -annotate +0+1 "Install now" "$1"
}

# ---- Welcome screen -------------------------------------------------------
background "$work/ground.png"
logo "$work/logo.png" 110
button "$work/button_n.png" "$CORAL" white
convert "$work/ground.png" \
  "$work/logo.png" -geometry +379+92 -composite \
  -font "$LIGHT" -pointsize 18 -fill "$MUTED" -gravity north -annotate +0+222 "O S T R E L" \
  -font "$BOLD" -pointsize 48 -fill "$TEXT" -gravity north -annotate +0+248 "Clipvane" \
  -font "$SANS" -pointsize 16 -fill "$MUTED" -gravity north \
  -annotate +0+322 "Record, edit and share your videos in minutes." \
  -gravity northwest "$work/button_n.png" -geometry +365+393 -composite \
  -font "$SANS" -pointsize 10 -fill "$MUTED" -gravity northeast -annotate +438+455 "By installing you agree to the" \
  -gravity northwest -fill "$TEAL" -annotate +434+454 "Licence Agreement" \
  -fill "$MUTED" -pointsize 10 -gravity south -annotate +0+18 "Version 11.0  ·  About 1 GB to download" \
  -quality 92 "$out/installer_ui_1.jpg"

button "$out/installnow_button_hover.png" "$CORAL_LIGHT" white
button "$out/installnow_button_click.png" "$CORAL_DARK" '#ffe9e0'
# The licence link under the pointer: the same words, brighter and underlined.
convert -size 119x12 xc:none -font "$SANS" -pointsize 10 -fill "$TEAL_LIGHT" -gravity northwest \
  -annotate +0+0 "Licence Agreement" -draw "line 0,11 101,11" "$out/eula_hover.png"

# ---- Feature slides -------------------------------------------------------
# Every slide keeps the progress panel (bar at 285,58, text at 326,68, close
# button at 596,57) and the dots row (y 546, x 393 + 14k) free of content.
slide_ground() {
  background "$1"
  convert "$1" \
    -fill 'rgba(4,10,20,0.55)' -draw "roundrectangle 268,44 622,92 12,12" \
    -fill 'rgba(255,255,255,0.18)' \
    -draw "circle 396,549 396,552" -draw "circle 410,549 410,552" -draw "circle 424,549 424,552" \
    -draw "circle 438,549 438,552" -draw "circle 452,549 452,552" -draw "circle 466,549 466,552" \
    -draw "circle 480,549 480,552" \
    "$1"
}

# Illustrations, 300 x 250, drawn on the card at the left.
art_record() {
  convert -size 300x250 xc:none -fill 'rgba(255,255,255,0.08)' -draw "roundrectangle 10,20 290,200 14,14" \
    -fill "$BG_BOTTOM" -draw "rectangle 24,34 276,186" \
    -fill "$CORAL" -draw "circle 150,110 150,80" -fill white -draw "circle 150,110 150,96" \
    -fill 'rgba(255,255,255,0.25)' -draw "rectangle 120,205 180,214" -draw "rectangle 90,214 210,222" "$1"
}
art_timeline() {
  convert -size 300x250 xc:none -fill 'rgba(255,255,255,0.08)' -draw "roundrectangle 10,40 290,210 14,14" \
    -fill "$TEAL" -draw "roundrectangle 30,70 140,100 6,6" -fill "$CORAL" -draw "roundrectangle 146,70 240,100 6,6" \
    -fill "$TEAL_LIGHT" -draw "roundrectangle 30,110 100,140 6,6" -fill "$TEAL" -draw "roundrectangle 106,110 270,140 6,6" \
    -fill 'rgba(255,255,255,0.3)' -draw "roundrectangle 30,150 200,180 6,6" \
    -fill white -draw "rectangle 178,56 181,194" -draw "polygon 172,52 187,52 179,62" "$1"
}
art_audio() {
  local bars=()
  for i in $(seq 0 22); do
    local h=$(( (i * 37 % 60) + 10 ))
    bars+=(-draw "roundrectangle $((30 + i * 11)),$((125 - h)) $((36 + i * 11)),$((125 + h)) 3,3")
  done
  convert -size 300x250 xc:none -fill 'rgba(255,255,255,0.08)' -draw "roundrectangle 10,40 290,210 14,14" \
    -fill "$TEAL" "${bars[@]}" "$1"
}
art_captions() {
  convert -size 300x250 xc:none -fill 'rgba(255,255,255,0.08)' -draw "roundrectangle 10,20 290,200 14,14" \
    -fill "$BG_BOTTOM" -draw "rectangle 24,34 276,186" \
    -fill 'rgba(46,196,182,0.35)' -draw "polygon 24,186 120,100 180,150 230,120 276,160 276,186" \
    -fill 'rgba(0,0,0,0.6)' -draw "roundrectangle 50,150 250,176 5,5" \
    -font "$SANS" -pointsize 12 -fill white -gravity north -annotate +0+155 "Welcome to the course!" "$1"
}
art_quiz() {
  convert -size 300x250 xc:none -fill 'rgba(255,255,255,0.08)' -draw "roundrectangle 40,20 260,220 14,14" \
    -fill white -font "$BOLD" -pointsize 14 -annotate +60+52 "Quick check" \
    -fill "$TEAL" -draw "circle 70,85 70,93" -fill 'rgba(255,255,255,0.3)' -draw "rectangle 88,80 230,90" \
    -fill none -stroke 'rgba(255,255,255,0.5)' -strokewidth 2 -draw "circle 70,120 70,128" -draw "circle 70,155 70,163" \
    -stroke none -fill 'rgba(255,255,255,0.3)' -draw "rectangle 88,115 210,125" -draw "rectangle 88,150 220,160" \
    -fill "$CORAL" -draw "roundrectangle 60,180 150,202 6,6" "$1"
}
art_share() {
  convert -size 300x250 xc:none -stroke 'rgba(255,255,255,0.35)' -strokewidth 3 \
    -draw "line 150,125 70,60" -draw "line 150,125 240,70" -draw "line 150,125 90,200" -draw "line 150,125 230,190" \
    -stroke none -fill "$CORAL" -draw "circle 150,125 150,95" \
    -fill "$TEAL" -draw "circle 70,60 70,42" -draw "circle 240,70 240,52" \
    -fill "$TEAL_LIGHT" -draw "circle 90,200 90,184" -draw "circle 230,190 230,172" "$1"
}
art_export() {
  convert -size 300x250 xc:none -fill 'rgba(255,255,255,0.08)' -draw "roundrectangle 70,30 230,220 14,14" \
    -fill "$TEAL" -draw "rectangle 140,60 160,140" -draw "polygon 115,135 185,135 150,175" \
    -fill 'rgba(255,255,255,0.4)' -draw "rectangle 100,190 200,196" \
    -font "$BOLD" -pointsize 12 -fill white -gravity north -annotate +0+200 "MP4  ·  HD" "$1"
}

make_slide() {  # index art title line1 line2
  slide_ground "$work/slide.png"
  "$2" "$work/art.png"
  convert "$work/slide.png" "$work/art.png" -geometry +90+170 -composite \
    -font "$SANS" -pointsize 12 -fill "$TEAL" -annotate +450+200 "$(printf '%02d / 07' $(( $1 - 1 )))" \
    -font "$BOLD" -pointsize 30 -fill "$TEXT" -annotate +450+245 "$3" \
    -font "$SANS" -pointsize 15 -fill "$MUTED" -annotate +450+285 "$4" -annotate +450+308 "$5" \
    -quality 92 "$out/installer_ui_$1.jpg"
}

make_slide 2 art_record "Record anything" "Capture your screen, webcam and" "microphone together in one click."
make_slide 3 art_timeline "Edit on a timeline" "Trim, split and arrange clips" "with precise, frame-accurate tools."
make_slide 4 art_audio "Crystal-clear audio" "Reduce noise and level voices" "so every word comes through."
make_slide 5 art_captions "Captions made easy" "Add and style captions that" "keep your viewers following along."
make_slide 6 art_quiz "Engage your viewers" "Build quizzes and hotspots right" "into the video you share."
make_slide 7 art_share "Share everywhere" "Publish to your favourite platforms" "straight from the editor."
make_slide 8 art_export "Export in HD" "Produce sharp MP4 files ready" "for any screen and any device."

# ---- Progress panel -------------------------------------------------------
# Bar 300 x 8 at 285,58; the busy animation covers the same place.
convert -size 300x8 xc:none -fill 'rgba(255,255,255,0.16)' -draw "roundrectangle 0,0 299,7 4,4" \
  "$out/progress_bar_bg.png"
convert -size 8x300 gradient:"$TEAL_LIGHT"-"$TEAL" -rotate 90 \
  \( -size 300x8 xc:none -fill white -draw "roundrectangle 0,0 299,7 4,4" \) \
  -compose CopyOpacity -composite "$out/progress_bar.png"
for i in $(seq 1 10); do
  x=$(( (i - 1) * 300 / 10 - 30 ))
  convert -size 300x8 xc:none \
    \( -size 90x8 gradient:none-"$TEAL" -rotate 90 \
       \( -size 90x8 gradient:"$TEAL"-none -rotate 90 \) -append -resize 90x8\! \) \
    -geometry +${x}+0 -composite \
    \( -size 300x8 xc:none -fill white -draw "roundrectangle 0,0 299,7 4,4" \) \
    -compose DstIn -composite "$out/$(printf 'progress_bar_%02d.png' "$i")"
done

state_text() {  # file text
  convert -size 260x14 xc:none -font "$SANS" -pointsize 11 -fill "$TEXT" -gravity west -annotate +0+0 "$2" "$1"
}
state_text "$out/text_pre_download.png" "Preparing the download…"
state_text "$out/text_downloading.png" "Downloading Ostrel Clipvane…"
state_text "$out/text_extracting.png" "Unpacking the installer…"
state_text "$out/text_installing.png" "Installing Ostrel Clipvane…"
state_text "$out/text_launching.png" "Starting Ostrel Clipvane…"

# The connection check on the welcome screen, over the install-now button:
# the ground it covers, the words, and the track the busy animation runs in.
convert "$work/ground.png" -crop 300x44+284+386 +repage \
  -font "$SANS" -pointsize 11 -fill "$TEXT" -gravity north -annotate +0+2 "Checking the connection…" \
  "$out/progress_bar_bg.png" -gravity northwest -geometry +0+30 -composite "$out/connection_check.png"

# The download's figures are set from these glyphs, one per 12 x 13 cell in
# this order (the UI core's list): "0123456789.% ofMBminslet" plus the middle dot.
glyph_cells=()
for g in 0 1 2 3 4 5 6 7 8 9 . % ' ' o f M B m i n s l e t '·'; do
  glyph_cells+=(\( -size 12x13 xc:none -font "$SANS" -pointsize 9 -fill "$MUTED" -gravity northwest \
    -annotate +0+0 "$g" \))
done
convert "${glyph_cells[@]}" +append "$out/progress_glyphs.png"

# ---- Window buttons (15 x 15) ---------------------------------------------
close_button() {  # file ring fill cross
  convert -size 15x15 xc:none -fill "$3" -stroke "$2" -strokewidth 1 -draw "circle 7,7 7,1" \
    -stroke "$4" -strokewidth 1.6 -draw "line 5,5 9,9" -draw "line 9,5 5,9" "$1"
}
close_button "$out/close_n.png" 'rgba(255,255,255,0.45)' 'rgba(255,255,255,0.0)' "$MUTED"
close_button "$out/close_o.png" "$CORAL" "$CORAL" white
close_button "$out/close_s.png" "$CORAL_DARK" "$CORAL_DARK" '#ffd9cc'

light() {  # file fill glyph-draw...
  local file=$1 fill=$2
  shift 2
  convert -size 15x15 xc:none -fill "$fill" -stroke 'rgba(0,0,0,0.25)' -strokewidth 0.8 -draw "circle 7,7 7,1" \
    -stroke 'rgba(60,20,10,0.75)' -strokewidth 1.4 "$@" "$file"
}
light "$out/app_close_mac_n.png" '#ff5f57'
light "$out/app_close_mac_o.png" '#ff5f57' -draw "line 5,5 9,9" -draw "line 9,5 5,9"
light "$out/app_close_mac_s.png" '#c9443d' -draw "line 5,5 9,9" -draw "line 9,5 5,9"
light "$out/app_min_mac_n.png" '#febc2e'
light "$out/app_min_mac_o.png" '#febc2e' -draw "line 4,7 10,7"
light "$out/app_min_mac_s.png" '#c8901c' -draw "line 4,7 10,7"

# The current slide's dot, 7 x 7 at 393 + 14k, 546.
convert -size 7x7 xc:none -fill "$TEAL_LIGHT" -draw "circle 3,3 3,0" "$out/dot_hover.png"

# Laid over the whole frame while a message box is up.
convert -size ${W}x${H} xc:'rgba(5,10,20,0.55)' "$out/disabled_mask.png"

# ---- Menu-bar icon: a 20-point glyph of the logo -----------------------------
# Dark vanes inside a light outline, so that the icon reads on a dark panel as
# well as on a light one.
for s in 16 32; do
  m=$((s / 16))  # the outline's width
  convert -size ${s}x${s} xc:none -fill black \
    -draw "polygon $((s/2)),$((s/2)) $((s/2)),$m $((s-1-m)),$((s*7/20))" \
    -draw "polygon $((s/2)),$((s/2)) $((s-1-m)),$((s*13/20)) $((s*3/10)),$((s-1-m))" \
    -draw "polygon $((s/2)),$((s/2)) $m,$((s*13/20)) $((s/5)),$((s/10+m))" \
    -fill none -draw "circle $((s/2)),$((s/2)) $((s/2)),$((s*6/10))" \
    \( +clone -alpha extract -morphology Dilate Square:$m -background white -alpha shape \) \
    +swap -composite "PNG32:$work/tessel_$s.png"
done
png2icns "$out/tessel.icns" "$work/tessel_16.png" "$work/tessel_32.png" >/dev/null

# Strip time stamps so that running the script again changes nothing, and
# 8-bit RGBA throughout: decoders treat 16-bit PNG samples as linear light and
# would wash the colours out.
for f in "$out"/*.png; do convert "$f" -strip -depth 8 -define png:exclude-chunks=date,time "PNG32:$f"; done
echo "assets written to $out"
