#!/usr/bin/env bash
# Builds the Debian package from a build folder (CPack, reusing the built
# program), checks its control fields and file list, unpacks it into a
# throwaway root with dpkg -x and checks what landed there: the program, the
# desktop entry, icon and AppStream metadata (each validated with the
# desktop's own tools), the manual page and the bash completion.
#
# Usage: tst_install.sh BUILD_DIR VERSION CPACK
# Exit status: 0 passed, 1 failed, 77 skipped (dpkg-deb or a validator is not
# installed; every other check still ran and passed; without dpkg-deb the
# files are installed with cmake --install instead).
set -uo pipefail

build=${1:?build folder}
version=${2:?project version}
cpack=${3:?cpack}
failures=0
skipped=()

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
expect() { if [ "$2" = "$3" ]; then pass "$1: ${3%%$'\n'*}"; else fail "$1 is '$2', expected '$3'"; fi; }

work=$(mktemp -d "${TMPDIR:-/tmp}/wavquill-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
prefix=$root/usr

# --- the package ------------------------------------------------------------
if command -v dpkg-deb >/dev/null; then
  arch=$(dpkg --print-architecture)
  deb=$work/wavquill_${version}_$arch.deb
  if ! "$cpack" --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 || [ ! -f "$deb" ]; then
    cat "$work/cpack.log"
    echo "FAIL: cpack did not make $(basename "$deb")"
    exit 1
  fi
  for field in Package=wavquill Version="$version" Architecture="$arch" Section=sound; do
    expect "${field%%=*}" "$(dpkg-deb -f "$deb" "${field%%=*}")" "${field#*=}"
  done
  # Computed from the binary: each library the program links.
  depends=$(dpkg-deb -f "$deb" Depends)
  for library in libsndfile1 libqt6widgets6 libsdl2 libtag libebur128; do
    case "$depends" in *"$library"*) pass "depends on $library" ;; *) fail "Depends lacks $library: $depends" ;; esac
  done
  dpkg -x "$deb" "$root" || fail "dpkg -x"
  if command -v lintian >/dev/null; then
    if out=$(lintian --fail-on error "$deb" 2>&1); then pass "lintian: no errors"; else echo "$out"; fail "lintian"; fi
    echo "$out" | grep -v "root privileges"
  else
    echo "SKIP: lintian is not installed (scripts/deps package installs it)"
    skipped+=(lintian)
  fi
else
  echo "SKIP: dpkg-deb is not installed: no package built; the files are installed with cmake --install"
  skipped+=(dpkg-deb)
  cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "cmake --install"; }
fi

bin=$prefix/bin/wavquill
desktop=$prefix/share/applications/wavquill.desktop
icon=$prefix/share/icons/hicolor/scalable/apps/wavquill.svg
metainfo=$prefix/share/metainfo/io.github.wavquill.WavQuill.metainfo.xml
manpage=$prefix/share/man/man1/wavquill.1.gz
completion=$prefix/share/bash-completion/completions/wavquill
expected=$(printf '%s\n' "$bin" "$desktop" "$icon" "$metainfo" "$manpage" "$completion" \
  "$prefix/share/doc/wavquill/copyright" "$prefix/share/doc/wavquill/changelog.gz" | sort)
expect "installed files" "$(find "$root" -type f | sort)" "$expected"
[ -x "$bin" ] || fail "bin/wavquill is not executable"
[ "$failures" -eq 0 ] || exit 1

# --- desktop entry ----------------------------------------------------------
entry() { sed -n "/^\[Desktop Entry\]/,/^\[/{s/^$1=//p}" "$desktop" | head -n1; }
expect_entry() { expect "$1" "$(entry "$1")" "$2"; }
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
# It must start without a display to print its version and help.
run() { env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$@" 2>&1; }
expect "installed wavquill --version" "$(run "$bin" --version; echo "status $?")" "WavQuill $version
status 0"
expect "installed wavquill --help" "$(run "$bin" --help; echo "status $?")" "$(run "$build/wavquill" --help)
status 0"

# --- manual page ------------------------------------------------------------
page=$(gzip -dc "$manpage")
expect "manual page title" "$(grep '^\.TH' <<<"$page" | cut -d' ' -f2-3)" 'WAVQUILL "1"'
for section in SYNOPSIS OPTIONS '"EXIT STATUS"' FILES EXAMPLES; do
  if grep -qx "\.SH $section" <<<"$page"; then pass "manual page has $section"; else fail "manual page lacks $section"; fi
done
if command -v man >/dev/null; then
  expect "man --warnings" "$(man --warnings -l "$manpage" 2>&1 >/dev/null)" ""
fi

# --- bash completion --------------------------------------------------------
bash_completion=/usr/share/bash-completion/bash_completion
if [ -f "$bash_completion" ]; then
  files=$work/files
  mkdir -p "$files/sub" && touch "$files"/{a.wav,B.FLAC,c.txt,list.csv}
  # What TAB offers at the end of the line $1, in $files, sorted on one line.
  completions() {
    (cd "$files" && bash -c 'source "$1"; source "$2"
      read -ra COMP_WORDS <<<"$3"; [[ $3 == *" " ]] && COMP_WORDS+=("")
      COMP_LINE=$3 COMP_POINT=${#3} COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
      _wavquill wavquill "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
      printf "%s\n" "${COMPREPLY[@]}"' _ "$bash_completion" "$completion" "$1" 2>/dev/null) | LC_ALL=C sort | paste -sd' '
  }
  expect "complete -p wavquill" "$(bash -c 'source "$1"; source "$2"; complete -p wavquill' _ "$bash_completion" "$completion")" \
    "complete -F _wavquill wavquill"
  while IFS='|' read -r line want; do
    expect "completion of '$line'" "$(completions "$line")" "$want"
  done <<'EOF'
wavquill --set tit|title=
wavquill --set title=x --set origination|originationDate= originationTime=
wavquill --set title=|
wavquill --he|--help
wavquill --co|--convert
wavquill |B.FLAC a.wav sub
wavquill -o |B.FLAC a.wav sub
wavquill --import-csv |list.csv sub
wavquill --channels |
wavquill -- --|
EOF
else
  echo "SKIP: bash-completion is not installed (scripts/deps package installs it)"
  skipped+=(bash-completion)
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
