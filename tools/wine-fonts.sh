#!/usr/bin/env bash
# Gives the Wine prefix the fonts a Chinese Windows has: the free
# WenQuanYi Micro Hei (fonts-wqy-microhei) is installed into the prefix and
# stands in for "微软雅黑" and for the sans-serif fonts that Debian's Wine
# does not ship, so window texts render as they would on Windows.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
export WINEDEBUG=${WINEDEBUG:--all} LC_ALL=C.UTF-8

font=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
if [ ! -f "$font" ]; then
  echo "wine-fonts: $font missing (install fonts-wqy-microhei)" >&2
  exit 1
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1 || true
fi
if grep -q 'WenQuanYi Micro Hei' "$WINEPREFIX/user.reg" 2>/dev/null &&
   [ -e "$WINEPREFIX/drive_c/windows/Fonts/wqy-microhei.ttc" ]; then
  exit 0
fi
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
ln -sf "$font" "$WINEPREFIX/drive_c/windows/Fonts/wqy-microhei.ttc"
for face in "微软雅黑" "Microsoft YaHei" "Microsoft Sans Serif" "Arial" "Tahoma" "MS Shell Dlg"; do
  wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /d 'WenQuanYi Micro Hei' /f \
    >/dev/null 2>&1
done
wineserver -w
