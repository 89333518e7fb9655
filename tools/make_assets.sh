#!/usr/bin/env bash
# Draws every picture of the installer window and the menu-bar icon.
#   assets/installer/          pictures without text, shared by every locale
#   assets/installer/<locale>/ pictures with text, drawn from that locale's
#                              strings.po (the texts the installer shows)
# Each picture twice: name.png at 1x and name@2x.png (name@2x.jpg) at 2x,
# for screens with a backing scale of 2. Fails when a text does not fit its
# place: each text is drawn alone first and the bounding box of its ink is
# measured against the rectangle it must stay in.
# Needs ImageMagick 6 (convert), DejaVu and Noto CJK fonts, gettext (msgen,
# msgfmt), python3 and icnsutils.
# The rectangles below are where the UI core blends each picture; keep them
# in step with the core's button rectangles.
set -euo pipefail

# Debian's ImageMagick by its full path: another "convert" earlier on PATH
# (a wrapper, or GraphicsMagick's) would draw different pictures.
convert() { /usr/bin/convert "$@"; }

root="$(cd "$(dirname "$0")/.." && pwd)/assets/installer"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

LOCALES=(en de fr ja)
W=868
H=592

for font in DejaVu-Sans DejaVu-Sans-Bold DejaVu-Sans-ExtraLight Noto-Sans-CJK-JP Noto-Sans-CJK-JP-Bold; do
  if ! convert -list font | grep "Font: $font\$" >/dev/null; then
    echo "make_assets: font $font missing (Debian: fonts-dejavu-core fonts-dejavu-extra fonts-noto-cjk)" >&2
    exit 1
  fi
done

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

# ---- Scale -----------------------------------------------------------------
# Every size and position below is written at 1x; sc multiplies each number
# in its argument by the scale being drawn (S), so "roundrectangle 0,0 138,35
# 8,8" or "+365+393" come out right at 2x. Colours never go through it.
S=1
SUFFIX=""
sc() {
  local rest=$1 out="" number
  while [[ $rest =~ ^([^0-9]*)([0-9]+(\.[0-9]+)?)(.*)$ ]]; do
    out+=${BASH_REMATCH[1]}
    number=${BASH_REMATCH[2]}
    rest=${BASH_REMATCH[4]}
    if [[ $number == *.* ]]; then
      out+=$(awk -v n="$number" -v s="$S" 'BEGIN { printf "%g", n * s }')
    else
      out+=$((number * S))
    fi
  done
  printf '%s' "$out$rest"
}

# ---- Texts -----------------------------------------------------------------
# T[key]: the locale's texts. msgen fills untranslated entries with the
# English msgid; an entry that is still missing (fuzzy) falls back to English.
declare -A T EN
read_catalogue() {  # locale array-name
  local -n into=$2
  local key value
  msgen --no-wrap "$root/$1/strings.po" 2>/dev/null | msgfmt --check -o "$work/$1.mo" -
  while IFS= read -r -d '' key && IFS= read -r -d '' value; do
    into[$key]=$value
  done < <(python3 - "$work/$1.mo" <<'EOF'
import gettext, sys
catalogue = gettext.GNUTranslations(open(sys.argv[1], "rb"))
for key, text in catalogue._catalog.items():
    if isinstance(key, str) and "\x04" in key:
        sys.stdout.write(key.split("\x04")[0] + "\0" + text + "\0")
EOF
  )
}
read_catalogue en EN
t() {
  local text=${T[$1]:-${EN[$1]:-}}
  if [ -z "$text" ]; then
    echo "make_assets: no text for \"$1\"" >&2
    exit 1
  fi
  printf '%s' "$text"
}

# ---- Text that must fit ----------------------------------------------------
# fit LABEL CANVAS GRAVITY OFFSET RECT FONT SIZE TEXT: checks that TEXT, drawn
# on a picture of CANVAS (WxH) with GRAVITY and OFFSET (gravity None: the
# offset is the baseline's start), lies inside RECT (x,y,w,h), all at 1x (an
# OFFSET written "=+x+y" is in pixels of the scale being drawn); then
# sets A to the -annotate arguments that draw it at the current scale. The
# check draws on a canvas with a margin all round, so that ink the picture
# would cut off counts as outside.
FAILED=0
fit() {
  local label=$1 canvas=$2 gravity=$3 offset=$4 rect=$5 font=$6 size=$7 text=$8
  local cw ch ox oy rx ry rw rh margin=$((40 * S)) unit=$S
  IFS=x read -r cw ch <<<"$canvas"
  # An offset after "=" is in pixels of the current scale already.
  [[ $offset == =* ]] && unit=1
  [[ $offset =~ ^=?([+-][0-9]+)([+-][0-9]+)$ ]]
  ox=$((BASH_REMATCH[1] * unit))
  oy=$((BASH_REMATCH[2] * unit))
  IFS=, read -r rx ry rw rh <<<"$rect"
  local px=$ox py=$oy
  case $gravity in North | South | Center) ;; *) px=$((px + margin)) ;; esac
  case $gravity in West | East | Center) ;; *) py=$((py + margin)) ;; esac
  local box
  box=$(convert -size $((cw * S + 2 * margin))x$((ch * S + 2 * margin)) xc:none -font "$font" \
    -pointsize "$(sc "$size")" -fill white -gravity "$gravity" -annotate "$(printf '%+d%+d' "$px" "$py")" "$text" \
    -format '%@' info:)
  [[ $box =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]]
  local bw=${BASH_REMATCH[1]} bh=${BASH_REMATCH[2]}
  local bx=$((BASH_REMATCH[3] - margin)) by=$((BASH_REMATCH[4] - margin))
  if [ -z "$text" ] || ((bx < rx * S || by < ry * S || bx + bw > (rx + rw) * S || by + bh > (ry + rh) * S)); then
    echo "make_assets: ${LOCALE:-shared} ${S}x: \"$text\" ($label) is ${bw}x${bh}+${bx}+${by}," \
      "outside its place $((rw * S))x$((rh * S))+$((rx * S))+$((ry * S))" >&2
    FAILED=1
  fi
  A=(-font "$font" -pointsize "$(sc "$size")" -gravity "$gravity" -annotate "$(printf '%+d%+d' "$ox" "$oy")" "$text")
}

# ink_extent FONT SIZE TEXT: sets INK_LEFT, how far the ink of TEXT starts
# right of where it is drawn from (gravity NorthWest), and INK_WIDTH, both in
# pixels of the current scale.
ink_extent() {
  local margin=$((40 * S)) box
  box=$(convert -size $((W * S + 2 * margin))x$((100 * S)) xc:none -font "$1" -pointsize "$(sc "$2")" -fill white \
    -gravity NorthWest -annotate "+$margin+$margin" "$3" -format '%@' info:)
  [[ $box =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]]
  INK_WIDTH=${BASH_REMATCH[1]}
  INK_LEFT=$((BASH_REMATCH[3] - margin))
}

# ---- Shared drawing ----------------------------------------------------------
# The window's ground: a vertical gradient with two faint vane shapes, the
# product's motif.
background() {
  convert -size "$(sc ${W}x${H})" gradient:"$BG_TOP"-"$BG_BOTTOM" \
    -fill 'rgba(46,196,182,0.06)' -draw "$(sc "polygon 560,0 868,0 868,330")" \
    -fill 'rgba(255,122,77,0.05)' -draw "$(sc "polygon 0,592 0,380 300,592")" \
    -fill 'rgba(255,255,255,0.03)' -draw "$(sc "polygon 620,0 700,0 868,160 868,240")" \
    "$1"
}

# The logo mark: three vanes turning around a hub.
logo() {  # file size
  local s=$(($2 * S))
  convert -size ${s}x${s} xc:none \
    -fill "$TEAL" -draw "polygon $((s/2)),$((s/2)) $((s/2)),$((s/20)) $((s*19/20)),$((s*7/20))" \
    -fill "$CORAL" -draw "polygon $((s/2)),$((s/2)) $((s*19/20)),$((s*13/20)) $((s*3/10)),$((s*19/20))" \
    -fill "$TEAL_LIGHT" -draw "polygon $((s/2)),$((s/2)) $((s/10)),$((s*13/20)) $((s/5)),$((s/10))" \
    -fill "$BG_BOTTOM" -draw "circle $((s/2)),$((s/2)) $((s/2)),$((s*29/50))" \
    -fill "$TEXT" -draw "circle $((s/2)),$((s/2)) $((s/2)),$((s*27/50))" \
    "$1"
}

# Every slide keeps the progress panel (bar at 285,58, text at 326,68, close
# button at 596,57) and the dots row (y 546, x 393 + 14k) free of content.
slide_ground() {
  background "$1"
  convert "$1" \
    -fill 'rgba(4,10,20,0.55)' -draw "$(sc "roundrectangle 268,44 622,92 12,12")" \
    -fill 'rgba(255,255,255,0.18)' \
    -draw "$(sc "circle 396,549 396,552")" -draw "$(sc "circle 410,549 410,552")" \
    -draw "$(sc "circle 424,549 424,552")" -draw "$(sc "circle 438,549 438,552")" \
    -draw "$(sc "circle 452,549 452,552")" -draw "$(sc "circle 466,549 466,552")" \
    -draw "$(sc "circle 480,549 480,552")" \
    "$1"
}

# ---- Pictures without text -------------------------------------------------
draw_shared() {  # folder
  local out=$1 x i
  # Bar 300 x 8 at 285,58; the busy animation covers the same place.
  convert -size "$(sc 300x8)" xc:none -fill 'rgba(255,255,255,0.16)' -draw "$(sc "roundrectangle 0,0 299,7 4,4")" \
    "$out/progress_bar_bg$SUFFIX.png"
  convert -size "$(sc 8x300)" gradient:"$TEAL_LIGHT"-"$TEAL" -rotate 90 \
    \( -size "$(sc 300x8)" xc:none -fill white -draw "$(sc "roundrectangle 0,0 299,7 4,4")" \) \
    -compose CopyOpacity -composite "$out/progress_bar$SUFFIX.png"
  for i in $(seq 1 10); do
    x=$(((i - 1) * 300 / 10 - 30))
    convert -size "$(sc 300x8)" xc:none \
      \( -size "$(sc 90x8)" gradient:none-"$TEAL" -rotate 90 \
         \( -size "$(sc 90x8)" gradient:"$TEAL"-none -rotate 90 \) -append -resize "$(sc 90x8)"\! \) \
      -geometry "$(printf '%+d+0' $((x * S)))" -composite \
      \( -size "$(sc 300x8)" xc:none -fill white -draw "$(sc "roundrectangle 0,0 299,7 4,4")" \) \
      -compose DstIn -composite "$out/$(printf 'progress_bar_%02d' "$i")$SUFFIX.png"
  done

  # Window buttons (15 x 15).
  close_button() {  # file ring fill cross
    convert -size "$(sc 15x15)" xc:none -fill "$3" -stroke "$2" -strokewidth "$(sc 1)" -draw "$(sc "circle 7,7 7,1")" \
      -stroke "$4" -strokewidth "$(sc 1.6)" -draw "$(sc "line 5,5 9,9")" -draw "$(sc "line 9,5 5,9")" "$1"
  }
  close_button "$out/close_n$SUFFIX.png" 'rgba(255,255,255,0.45)' 'rgba(255,255,255,0.0)' "$MUTED"
  close_button "$out/close_o$SUFFIX.png" "$CORAL" "$CORAL" white
  close_button "$out/close_s$SUFFIX.png" "$CORAL_DARK" "$CORAL_DARK" '#ffd9cc'

  light() {  # file fill glyph-draw...
    local file=$1 fill=$2
    shift 2
    convert -size "$(sc 15x15)" xc:none -fill "$fill" -stroke 'rgba(0,0,0,0.25)' -strokewidth "$(sc 0.8)" \
      -draw "$(sc "circle 7,7 7,1")" -stroke 'rgba(60,20,10,0.75)' -strokewidth "$(sc 1.4)" "$@" "$file"
  }
  local cross=(-draw "$(sc "line 5,5 9,9")" -draw "$(sc "line 9,5 5,9")")
  local dash=(-draw "$(sc "line 4,7 10,7")")
  light "$out/app_close_mac_n$SUFFIX.png" '#ff5f57'
  light "$out/app_close_mac_o$SUFFIX.png" '#ff5f57' "${cross[@]}"
  light "$out/app_close_mac_s$SUFFIX.png" '#c9443d' "${cross[@]}"
  light "$out/app_min_mac_n$SUFFIX.png" '#febc2e'
  light "$out/app_min_mac_o$SUFFIX.png" '#febc2e' "${dash[@]}"
  light "$out/app_min_mac_s$SUFFIX.png" '#c8901c' "${dash[@]}"

  # The current slide's dot, 7 x 7 at 393 + 14k, 546.
  convert -size "$(sc 7x7)" xc:none -fill "$TEAL_LIGHT" -draw "$(sc "circle 3,3 3,0")" "$out/dot_hover$SUFFIX.png"

  # Laid over the whole frame while a message box is up.
  convert -size "$(sc ${W}x${H})" xc:'rgba(5,10,20,0.55)' "$out/disabled_mask$SUFFIX.png"

}

# ---- Slides: the art, shared -------------------------------------------------
# The slides carry no words of any language: each locale's words are a
# transparent layer (installer_text_N.png) that the UI core lays over the
# slide, so that a locale costs its words and not a copy of every slide.
# Illustrations, 300 x 250, drawn on the card at the left.
art_record() {
  convert -size "$(sc 300x250)" xc:none -fill 'rgba(255,255,255,0.08)' -draw "$(sc "roundrectangle 10,20 290,200 14,14")" \
    -fill "$BG_BOTTOM" -draw "$(sc "rectangle 24,34 276,186")" \
    -fill "$CORAL" -draw "$(sc "circle 150,110 150,80")" -fill white -draw "$(sc "circle 150,110 150,96")" \
    -fill 'rgba(255,255,255,0.25)' -draw "$(sc "rectangle 120,205 180,214")" -draw "$(sc "rectangle 90,214 210,222")" "$1"
}
art_timeline() {
  convert -size "$(sc 300x250)" xc:none -fill 'rgba(255,255,255,0.08)' -draw "$(sc "roundrectangle 10,40 290,210 14,14")" \
    -fill "$TEAL" -draw "$(sc "roundrectangle 30,70 140,100 6,6")" -fill "$CORAL" -draw "$(sc "roundrectangle 146,70 240,100 6,6")" \
    -fill "$TEAL_LIGHT" -draw "$(sc "roundrectangle 30,110 100,140 6,6")" -fill "$TEAL" -draw "$(sc "roundrectangle 106,110 270,140 6,6")" \
    -fill 'rgba(255,255,255,0.3)' -draw "$(sc "roundrectangle 30,150 200,180 6,6")" \
    -fill white -draw "$(sc "rectangle 178,56 181,194")" -draw "$(sc "polygon 172,52 187,52 179,62")" "$1"
}
art_audio() {
  local bars=() i h
  for i in $(seq 0 22); do
    h=$(((i * 37 % 60) + 10))
    bars+=(-draw "$(sc "roundrectangle $((30 + i * 11)),$((125 - h)) $((36 + i * 11)),$((125 + h)) 3,3")")
  done
  convert -size "$(sc 300x250)" xc:none -fill 'rgba(255,255,255,0.08)' -draw "$(sc "roundrectangle 10,40 290,210 14,14")" \
    -fill "$TEAL" "${bars[@]}" "$1"
}
art_captions() {
  convert -size "$(sc 300x250)" xc:none -fill 'rgba(255,255,255,0.08)' -draw "$(sc "roundrectangle 10,20 290,200 14,14")" \
    -fill "$BG_BOTTOM" -draw "$(sc "rectangle 24,34 276,186")" \
    -fill 'rgba(46,196,182,0.35)' -draw "$(sc "polygon 24,186 120,100 180,150 230,120 276,160 276,186")" \
    -fill 'rgba(0,0,0,0.6)' -draw "$(sc "roundrectangle 50,150 250,176 5,5")" "$1"
}
art_quiz() {
  convert -size "$(sc 300x250)" xc:none -fill 'rgba(255,255,255,0.08)' -draw "$(sc "roundrectangle 40,20 260,220 14,14")" \
    -fill "$TEAL" -draw "$(sc "circle 70,85 70,93")" -fill 'rgba(255,255,255,0.3)' -draw "$(sc "rectangle 88,80 230,90")" \
    -fill none -stroke 'rgba(255,255,255,0.5)' -strokewidth "$(sc 2)" -draw "$(sc "circle 70,120 70,128")" -draw "$(sc "circle 70,155 70,163")" \
    -stroke none -fill 'rgba(255,255,255,0.3)' -draw "$(sc "rectangle 88,115 210,125")" -draw "$(sc "rectangle 88,150 220,160")" \
    -fill "$CORAL" -draw "$(sc "roundrectangle 60,180 150,202 6,6")" "$1"
}
art_share() {
  convert -size "$(sc 300x250)" xc:none -stroke 'rgba(255,255,255,0.35)' -strokewidth "$(sc 3)" \
    -draw "$(sc "line 150,125 70,60")" -draw "$(sc "line 150,125 240,70")" -draw "$(sc "line 150,125 90,200")" -draw "$(sc "line 150,125 230,190")" \
    -stroke none -fill "$CORAL" -draw "$(sc "circle 150,125 150,95")" \
    -fill "$TEAL" -draw "$(sc "circle 70,60 70,42")" -draw "$(sc "circle 240,70 240,52")" \
    -fill "$TEAL_LIGHT" -draw "$(sc "circle 90,200 90,184")" -draw "$(sc "circle 230,190 230,172")" "$1"
}
art_export() {
  convert -size "$(sc 300x250)" xc:none -fill 'rgba(255,255,255,0.08)' -draw "$(sc "roundrectangle 70,30 230,220 14,14")" \
    -fill "$TEAL" -draw "$(sc "rectangle 140,60 160,140")" -draw "$(sc "polygon 115,135 185,135 150,175")" \
    -fill 'rgba(255,255,255,0.4)' -draw "$(sc "rectangle 100,190 200,196")" \
    -font DejaVu-Sans-Bold -pointsize "$(sc 12)" -fill white -gravity north -annotate "$(sc +0+200)" "MP4  ·  HD" "$1"
}


# Rounded face of the install-now button (365,393 to 503,428: 139 x 36).
button_face() {  # file fill
  convert -size "$(sc 139x36)" xc:none -fill "$2" -draw "$(sc "roundrectangle 0,0 138,35 8,8")" \
    -fill 'rgba(255,255,255,0.18)' -draw "$(sc "roundrectangle 1,1 137,16 7,7")" "$1"
}

draw_slides() {  # folder
  local out=$1
  background "$work/ground.png"
  logo "$work/logo.png" 110
  button_face "$work/button_n.png" "$CORAL"
  # The product's name is the same in every language.
  convert "$work/ground.png" \
    "$work/logo.png" -geometry "$(sc +379+92)" -composite \
    -font DejaVu-Sans-ExtraLight -pointsize "$(sc 18)" -fill "$MUTED" -gravity north -annotate "$(sc +0+222)" "O S T R E L" \
    -font DejaVu-Sans-Bold -pointsize "$(sc 48)" -fill "$TEXT" -gravity north -annotate "$(sc +0+248)" "Clipvane" \
    -gravity northwest "$work/button_n.png" -geometry "$(sc +365+393)" -composite \
    -strip -quality "$JPEG_QUALITY" "$out/installer_ui_1$SUFFIX.jpg"
  slide() {  # index art
    slide_ground "$work/slide.png"
    "$2" "$work/art.png"
    convert "$work/slide.png" "$work/art.png" -geometry "$(sc +90+170)" -composite \
      -font DejaVu-Sans -pointsize "$(sc 12)" -fill "$TEAL" -annotate "$(sc +450+200)" "$(printf '%02d / 07' $(($1 - 1)))" \
      -strip -quality "$JPEG_QUALITY" "$out/installer_ui_$1$SUFFIX.jpg"
  }
  slide 2 art_record
  slide 3 art_timeline
  slide 4 art_audio
  slide 5 art_captions
  slide 6 art_quiz
  slide 7 art_share
  slide 8 art_export
}

# ---- Pictures with words, for one locale -----------------------------------
draw_locale() {  # folder
  local out=$1 SANS=DejaVu-Sans BOLD=DejaVu-Sans-Bold
  if [ "$LOCALE" = ja ]; then
    SANS=Noto-Sans-CJK-JP
    BOLD=Noto-Sans-CJK-JP-Bold
  fi

  # The install-now button's label, on the face in the slide and on the
  # hover and pressed looks.
  fit "install-now button" 139x36 Center +0+1 "6,3,127,30" "$BOLD" 15 "$(t welcome.install_now)"
  local label=("${A[@]}")
  button_face "$work/hover.png" "$CORAL_LIGHT"
  convert "$work/hover.png" -fill white "${label[@]}" "$out/installnow_button_hover$SUFFIX.png"
  button_face "$work/click.png" "$CORAL_DARK"
  convert "$work/click.png" -fill '#ffe9e0' "${label[@]}" "$out/installnow_button_click$SUFFIX.png"
  convert -size "$(sc 139x36)" xc:none -fill white "${label[@]}" "$work/label.png"

  # The welcome screen's words.
  fit tagline ${W}x${H} North +0+322 "40,318,788,30" "$SANS" 16 "$(t welcome.tagline)"
  local tagline=("${A[@]}")
  # The licence line, its words and the link after them, centred as one on
  # the window at each scale. Between them a gap wider than the focus ring's
  # reach (2 points of gap, 2 of ring), so that the ring around the link
  # never touches the word before it. The CJK font sits lower in its line,
  # so it goes up to meet the same place.
  local dy=0 prefix_text link_text gap=$((6 * S))
  [ "$LOCALE" = ja ] && dy=-2
  prefix_text=$(t welcome.licence_prefix)
  link_text=$(t welcome.licence_link)
  ink_extent "$SANS" 10 "$prefix_text"
  local prefix_left=$INK_LEFT prefix_width=$INK_WIDTH
  ink_extent "$SANS" 10 "$link_text"
  local link_left=$INK_LEFT link_width=$INK_WIDTH
  local start=$(((W * S - prefix_width - gap - link_width) / 2))
  local top=$(((455 + dy) * S))
  fit "licence line" ${W}x${H} NorthWest "=+$((start - prefix_left))+$top" "40,451,788,16" "$SANS" 10 "$prefix_text"
  local prefix=("${A[@]}")
  fit "licence link" ${W}x${H} NorthWest "=+$((start + prefix_width + gap - link_left))+$top" "40,451,788,16" \
    "$SANS" 10 "$link_text"
  local link=("${A[@]}")
  fit footer ${W}x${H} South +0+18 "40,556,788,30" "$SANS" 10 "$(t welcome.footer)"
  local footer=("${A[@]}")
  convert -size "$(sc ${W}x${H})" xc:none \
    -fill "$MUTED" "${tagline[@]}" \
    -gravity northwest "$work/label.png" -geometry "$(sc +365+393)" -composite \
    -fill "$MUTED" "${prefix[@]}" -fill "$TEAL" "${link[@]}" -fill "$MUTED" "${footer[@]}" \
    "$out/installer_text_1$SUFFIX.png"

  # The licence link under the pointer: the same words, brighter and
  # underlined, where they stand on the welcome screen, on a layer as large
  # as the window. The UI core takes the link's place, and so its click area
  # and focus ring, from this layer's ink.
  local box
  box=$(convert -size "$(sc ${W}x${H})" xc:none -fill white "${link[@]}" -format '%@' info:)
  [[ $box =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]]
  local x0=${BASH_REMATCH[3]} x1=$((BASH_REMATCH[3] + BASH_REMATCH[1] - 1))
  local underline=$((BASH_REMATCH[4] + BASH_REMATCH[2] + S - 1))
  convert -size "$(sc ${W}x${H})" xc:none -fill "$TEAL_LIGHT" "${link[@]}" \
    -stroke "$TEAL_LIGHT" -strokewidth "$S" -draw "line $x0,$underline $x1,$underline" \
    "$out/eula_hover$SUFFIX.png"

  # Each feature slide's words: a title and two lines beside the
  # illustration, from 450 to the window's right margin; two slides have a
  # word inside their illustration (drawn at 90,170).
  local i extra
  for i in 2 3 4 5 6 7 8; do
    fit "slide $i title" ${W}x${H} None +450+245 "446,205,402,53" "$BOLD" 30 "$(t "slide.$i.title")"
    local title=("${A[@]}")
    fit "slide $i first line" ${W}x${H} None +450+285 "446,266,402,24" "$SANS" 15 "$(t "slide.$i.line1")"
    local line1=("${A[@]}")
    fit "slide $i second line" ${W}x${H} None +450+308 "446,290,402,24" "$SANS" 15 "$(t "slide.$i.line2")"
    local line2=("${A[@]}")
    extra=()
    if [ "$i" = 5 ]; then
      # The caption on the illustration's dark band (140,320 to 340,346).
      fit "caption in the illustration" ${W}x${H} North -194+325 "144,321,192,24" "$SANS" 12 "$(t art.caption)"
      extra=(-fill white "${A[@]}")
    elif [ "$i" = 6 ]; then
      fit "quiz title in the illustration" ${W}x${H} None +150+222 "146,204,200,24" "$BOLD" 14 "$(t art.quiz)"
      extra=(-fill white "${A[@]}")
    fi
    convert -size "$(sc ${W}x${H})" xc:none \
      -fill "$TEXT" "${title[@]}" -fill "$MUTED" "${line1[@]}" "${line2[@]}" "${extra[@]}" \
      "$out/installer_text_$i$SUFFIX.png"
  done

  # The state texts of the progress panel, 260 x 14 at 326,68.
  state_text() {  # name key
    fit "state text $2" 260x14 West +1+0 "0,0,260,14" "$SANS" 11 "$(t "$2")"
    convert -size "$(sc 260x14)" xc:none -fill "$TEXT" "${A[@]}" "$out/$1$SUFFIX.png"
  }
  state_text text_pre_download state.pre_download
  state_text text_downloading state.downloading
  state_text text_waiting_network state.waiting_network
  state_text text_waiting_offline state.waiting_offline
  state_text text_extracting state.extracting
  state_text text_installing state.installing
  state_text text_launching state.launching

  # The connection check on the welcome screen, over the install-now button
  # (300 x 44 at 284,386): the ground it covers, the words, and the track the
  # busy animation runs in.
  fit "connection check" 300x44 North +0+2 "0,0,300,28" "$SANS" 11 "$(t welcome.connection_check)"
  convert "$work/ground.png" -crop "$(sc 300x44+284+386)" +repage -fill "$TEXT" "${A[@]}" \
    "$(dirname "$out")/progress_bar_bg$SUFFIX.png" -gravity northwest -geometry "$(sc +0+30)" -composite \
    "$out/connection_check$SUFFIX.png"

  # The download's figures (above the bar) are set from these glyphs, one per
  # 12 x 13 cell: every character the figures' texts can have, each once, in
  # code-point order, as the UI core lists them (LCDownloadEstimate).
  # Bold and in the text's colour: at this size, thin grey strokes blur into
  # the dark panel. The CJK font sits lower in its line; it goes up 2 points.
  local glyph_cells=() g glyph_top=+0
  [ "$LOCALE" = ja ] && glyph_top=-2
  while IFS= read -r -d '' g; do
    if [ "$g" != " " ]; then
      fit "figure glyph $g" 12x13 NorthWest "+0$glyph_top" "0,0,12,13" "$BOLD" 10 "$g"
    else
      A=()  # an empty cell: the strip gives a space its own advance
    fi
    glyph_cells+=(\( -size "$(sc 12x13)" xc:none -fill "$TEXT" "${A[@]}" \))
  done < <(python3 - "$(t progress.decimal_point)" "$(t progress.percent)" "$(t progress.size)" \
    "$(t progress.minutes_left)" "$(t progress.seconds_left)" <<'EOF'
import re, sys
text = "0123456789" + "  \u00b7  " + "".join(re.sub(r"\{[^}]*\}", "", t) for t in sys.argv[1:])
sys.stdout.write("".join(c + "\0" for c in sorted(set(text))))
EOF
  )
  convert "${glyph_cells[@]}" +append "$out/progress_glyphs$SUFFIX.png"
}

# Artefacts of JPEG are half as large on a 2x screen.
for S in 1 2; do
  SUFFIX=""
  JPEG_QUALITY=92
  [ "$S" = 1 ] || SUFFIX="@${S}x" JPEG_QUALITY=85
  LOCALE=""
  draw_shared "$root"
  draw_slides "$root"
  for LOCALE in "${LOCALES[@]}"; do
    T=()
    read_catalogue "$LOCALE" T
    draw_locale "$root/$LOCALE"
  done
done
if [ "$FAILED" != 0 ]; then
  echo "make_assets: some texts do not fit; shorten them in the locale's strings.po" >&2
  exit 1
fi

# ---- Menu-bar icon: the logo's vanes in its colours ---------------------------
# Bright vanes inside a dark outline, so that the icon reads on a dark panel
# (the vanes) as well as on a light one (the outline). Drawn at each size a
# tray asks for up to 64 pixels from the 128-pixel picture, which the tray
# scales down (anti-aliased) for the size it is given.
tray_icons=()
for s in 16 32 48 128; do
  m=$(((s + 15) / 16))  # the outline's width
  S=1 logo "$work/tessel_logo_$s.png" $((s - 2 * m))
  convert "$work/tessel_logo_$s.png" -background none -gravity center -extent ${s}x${s} \
    \( +clone -alpha extract -morphology Dilate Disk:$m -background "$BG_TOP" -alpha shape \) \
    +swap -composite "PNG32:$work/tessel_$s.png"
  tray_icons+=("$work/tessel_$s.png")
done
png2icns "$root/tessel.icns" "${tray_icons[@]}" >/dev/null

# ---- Application icon: the logo on the window's ground -----------------------
# What the Dock, the window list, the title bar and the message boxes show;
# the glyph above is for the menu bar only.
S=1
app_icons=()
for s in 16 32 48 128 256 512; do
  inset=$((s / 16))
  logo "$work/app_logo_$s.png" $((s * 5 / 8))
  convert -size ${s}x${s} xc:none -fill "$BG_TOP" -stroke 'rgba(255,255,255,0.12)' -strokewidth $(((s + 63) / 64)) \
    -draw "roundrectangle $inset,$inset $((s - 1 - inset)),$((s - 1 - inset)) $((s * 2 / 9)),$((s * 2 / 9))" \
    "$work/app_logo_$s.png" -gravity center -composite "PNG32:$work/app_$s.png"
  app_icons+=("$work/app_$s.png")
done
png2icns "$root/clipvane.icns" "${app_icons[@]}" >/dev/null

# ---- Menu-bar template: the vanes' silhouette for macOS's status item ---------
# Black with coverage in alpha, 18 points at 1x and 2x: the menu bar tints a
# template for its light or dark look, and shows the sharp picture on each.
for s in 18 36; do
  suffix=""
  [ "$s" = 18 ] || suffix="@2x"
  convert -size ${s}x${s} xc:none -fill black \
    -draw "polygon $((s/2)),$((s/2)) $((s/2)),$((s/20)) $((s*19/20)),$((s*7/20))" \
    -draw "polygon $((s/2)),$((s/2)) $((s*19/20)),$((s*13/20)) $((s*3/10)),$((s*19/20))" \
    -draw "polygon $((s/2)),$((s/2)) $((s/10)),$((s*13/20)) $((s/5)),$((s/10))" \
    \( -size ${s}x${s} xc:none -fill black -draw "circle $((s/2)),$((s/2)) $((s/2)),$((s*29/50))" \) \
    -compose DstOut -composite "PNG32:$root/menubar_template$suffix.png"
done

# Strip time stamps so that running the script again changes nothing, and
# 8-bit RGBA throughout: decoders treat 16-bit PNG samples as linear light and
# would wash the colours out.
for f in "$root"/*.png "$root"/*/*.png; do convert "$f" -strip -depth 8 -define png:exclude-chunks=date,time "PNG32:$f"; done
echo "assets written to $root"
