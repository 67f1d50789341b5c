#!/usr/bin/env bash
# Screenshots of the configuration tool's two windows under Xvfb, at 96 and at
# 120 pixels per inch, from a sample installation folder.
#   scripts/screenshots.sh [BUILD-DIR] [OUTPUT-DIR]
# BUILD-DIR defaults to build/asan, OUTPUT-DIR to BUILD-DIR/screenshots.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"
build="${1:-$root/build/asan}"
output="${2:-$build/screenshots}"
program="$build/tool/tessmar-screenshots"
[ -x "$program" ] || { echo "screenshots: build $program first" >&2; exit 1; }
command -v xvfb-run >/dev/null || { echo "screenshots: xvfb-run is missing (bash scripts/setup.sh install)" >&2; exit 1; }

install="$(mktemp -d)"
trap 'rm -rf "$install"' EXIT
mkdir -p "$install/Cert" "$install/Docs"
cp "$root/Docs/vardex.html" "$install/Docs/"
printf '[Configuration]\r\nCommonName=reboot.example.com\r\nThisServerIPNumber=\r\nVardexPort=8443\r\nLoginRequest=Morning_Door\r\n\r\n[UserList]\r\nalice=Crocus1\r\nbob=Crocus2\r\n\r\n[CertificateRequest]\r\nCountry=NZ\r\nState=Canterbury\r\nLocality=Christchurch\r\nOrganization=Example Ltd\r\nOrgSection=Operations\r\nEMail=admin@example.com\r\n\r\n' > "$install/Vardex.cfg"

for dpi in 96 120; do
  # Qt takes the logical density from QT_FONT_DPI on X11 and scales by dpi/96.
  xvfb-run -a -s "-screen 0 1600x1200x24 -dpi $dpi" \
    env QT_QPA_PLATFORM=xcb QT_FONT_DPI="$dpi" ASAN_OPTIONS=detect_leaks=0 \
    "$program" "$install" "$output/$dpi-dpi"
done
echo "screenshots: $output"
