#!/usr/bin/env bash
# Installs a build into a temporary prefix and checks what lands there: the
# program, the desktop entry, the icon and the AppStream metadata, each
# validated with the desktop's own tools.
#
# Usage: tst_install.sh BUILD_DIR VERSION
# Exit status: 0 passed, 1 failed, 77 skipped (a validator is not installed;
# every other check still ran and passed).
set -uo pipefail

build=${1:?build folder}
version=${2:?project version}
failures=0
skipped=()

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

prefix=$(mktemp -d "${TMPDIR:-/tmp}/wavquill-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

if ! cmake --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1; then
  cat "$prefix.log"; rm -f "$prefix.log"
  echo "FAIL: cmake --install $build (is the wavquill target built?)"
  exit 1
fi
rm -f "$prefix.log"

bin=$prefix/bin/wavquill
desktop=$prefix/share/applications/wavquill.desktop
icon=$prefix/share/icons/hicolor/scalable/apps/wavquill.svg
metainfo=$prefix/share/metainfo/io.github.wavquill.WavQuill.metainfo.xml

for f in "$bin" "$desktop" "$icon" "$metainfo"; do
  if [ -f "$f" ]; then pass "installed ${f#"$prefix"/}"; else fail "missing ${f#"$prefix"/}"; fi
done
[ -x "$bin" ] || fail "bin/wavquill is not executable"
[ "$failures" -eq 0 ] || exit 1

# --- desktop entry ----------------------------------------------------------
entry() { sed -n "/^\[Desktop Entry\]/,/^\[/{s/^$1=//p}" "$desktop" | head -n1; }
expect_entry() {
  local got
  got=$(entry "$1")
  if [ "$got" = "$2" ]; then pass "$1=$2"; else fail "$1 is '$got', expected '$2'"; fi
}
expect_entry Type Application
expect_entry Name WavQuill
expect_entry Exec "wavquill %F"
expect_entry Icon wavquill
expect_entry Categories "AudioVideo;Audio;AudioVideoEditing;"

mimetypes=$(entry MimeType)
[ -n "$mimetypes" ] || fail "no MimeType"
for type in audio/x-wav audio/x-aiff audio/flac audio/ogg audio/basic; do
  case ";$mimetypes" in
    *";$type;"*) pass "MimeType has $type" ;;
    *) fail "MimeType lacks $type" ;;
  esac
done
# Only types the shared MIME database knows (as a type or an alias): any
# other name never matches a file.
mimedb=/usr/share/mime
if [ -f "$mimedb/types" ] && [ -f "$mimedb/aliases" ]; then
  IFS=';' read -r -a types <<<"$mimetypes"
  for type in "${types[@]}"; do
    [ -n "$type" ] || continue
    if grep -qxF "$type" "$mimedb/types" || awk -v t="$type" '$1 == t { found = 1 } END { exit !found }' "$mimedb/aliases"; then
      pass "known MIME type $type"
    else
      fail "MIME type $type is unknown to the shared MIME database"
    fi
  done
else
  echo "note: no shared MIME database in $mimedb; MIME type names not checked"
fi

if command -v desktop-file-validate >/dev/null; then
  if out=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$out" ]; then
    pass "desktop-file-validate"
  else
    echo "$out"; fail "desktop-file-validate"
  fi
else
  echo "SKIP: desktop-file-validate is not installed (package desktop-file-utils; scripts/deps installs it)"
  skipped+=(desktop-file-validate)
fi

# --- icon -------------------------------------------------------------------
if grep -q '<svg[^>]*viewBox="0 0 128 128"' "$icon" && grep -q '</svg>' "$icon"; then
  pass "icon is a 128x128 SVG"
else
  fail "icon is not a complete SVG with a 128x128 viewBox"
fi

# --- AppStream metadata -----------------------------------------------------
for pattern in '<id>io.github.wavquill.WavQuill</id>' \
               '<launchable type="desktop-id">wavquill.desktop</launchable>' \
               '<metadata_license>CC0-1.0</metadata_license>' \
               '<project_license>GPL-3.0-or-later</project_license>' \
               '<content_rating type="oars-1.1"' \
               "<release version=\"$version\""; do
  if grep -qF "$pattern" "$metainfo"; then pass "metainfo has $pattern"; else fail "metainfo lacks $pattern"; fi
done
if command -v appstreamcli >/dev/null; then
  if out=$(appstreamcli validate --no-net "$metainfo" 2>&1); then
    pass "appstreamcli validate"
  else
    echo "$out"; fail "appstreamcli validate"
  fi
else
  echo "SKIP: appstreamcli is not installed (package appstream; scripts/deps installs it)"
  skipped+=(appstreamcli)
fi

# --- the installed program --------------------------------------------------
# It must start without a display to print its version.
got=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$bin" --version 2>&1)
status=$?
if [ "$status" -eq 0 ] && [ "$got" = "WavQuill $version" ]; then
  pass "installed wavquill --version"
else
  fail "installed wavquill --version gave status $status and '$got', expected 'WavQuill $version'"
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
if [ ${#skipped[@]} -gt 0 ]; then
  echo "SKIPPED: not validated with ${skipped[*]}; every other check passed"
  exit 77
fi
echo "all install checks passed"
