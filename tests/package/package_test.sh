#!/usr/bin/env bash
# The Debian package and the set-up scripts, one case per call:
#   package_test.sh CASE SOURCE_DIR BUILD_DIR
set -euo pipefail
case_name=$1 src=$2 build=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
deb() { ls "$build"/noctra_*.deb; }

case $case_name in
  build)
    "$src/scripts/package.sh" "$build"
    ;;
  lintian)
    lintian --fail-on error,warning --info "$(deb)"
    ;;
  contents)
    dpkg-deb -x "$(deb)" "$tmp"
    for f in usr/bin/noctra usr/bin/indi_noctra_ccd usr/share/indi/indi_noctra_ccd.xml \
      usr/share/applications/noctra.desktop usr/share/icons/hicolor/scalable/apps/noctra.svg \
      usr/share/metainfo/io.github.noctra.Noctra.metainfo.xml \
      usr/share/man/man1/noctra.1.gz usr/share/man/man1/indi_noctra_ccd.1.gz; do
      [ -f "$tmp/$f" ] || fail "the package lacks /$f"
    done
    appstreamcli validate --no-net "$tmp"/usr/share/metainfo/*.xml
    ;;
  depends)
    # Every library the programs load directly comes from a package in Depends.
    depends=$(dpkg-deb -f "$(deb)" Depends | sed 's/ ([^)]*)//g')
    dpkg-deb -x "$(deb)" "$tmp"
    patterns=()
    for lib in $(objdump -p "$tmp"/usr/bin/* | awk '$1 == "NEEDED" { print $2 }' | sort -u); do
      path=$(ldconfig -p | awk -v l="$lib" '$1 == l && !p { print $NF; p = 1 }')
      [ -n "$path" ] || fail "$lib not found"
      patterns+=("*/$(basename "$(dirname "$path")")/$lib")
    done
    owners=$(dpkg -S "${patterns[@]}")
    for pattern in "${patterns[@]}"; do
      owner=$(grep -m1 "/${pattern##*/}\$" <<<"$owners" | sed 's/[:,].*//')
      [[ ", $depends," == *", $owner,"* ]] || fail "${pattern##*/} ($owner) is not in Depends: $depends"
    done
    ;;
  root)
    # Installed into a throw-away root, run with a throw-away home and settings.
    dpkg-deb -x "$(deb)" "$tmp/root"
    noctra=$tmp/root/usr/bin/noctra
    [ "$("$noctra" --version)" = "Noctra Pre-release Version 0.07" ] || fail "--version"
    mkdir "$tmp/home"
    printf '[Hardware]\nPort=sim\nSource=sim\n' >"$tmp/home/noctra.ini"
    (cd "$tmp/home" && env -i PATH=/usr/bin:/bin HOME="$tmp/home" QT_QPA_PLATFORM=offscreen \
      "$noctra" --headless --count 1 --exposure 200 --config noctra.ini --output "$tmp/home/sky.ser")
    rows=$("$noctra" --measure "$tmp/home/sky.ser" | tail -n +2 | wc -l)
    [ "$rows" = 1 ] || fail "the recording has $rows frames, not 1"
    grep -q '<driver name="Noctra">indi_noctra_ccd</driver>' "$tmp/root/usr/share/indi/indi_noctra_ccd.xml" ||
      fail "INDI's driver list does not name indi_noctra_ccd"
    # The driver answers, then ends with an error when its input ends.
    echo '<getProperties version="1.7"/>' | HOME="$tmp/home" timeout 20 "$tmp/root/usr/bin/indi_noctra_ccd" \
      >"$tmp/indi.xml" 2>/dev/null || true
    grep -q "device='Noctra'" "$tmp/indi.xml" || fail "indi_noctra_ccd defines no device Noctra"
    ;;
  man_options)
    # The options of the README's table, the manual page and --help agree.
    readme=$(sed -n '/^| option | meaning |/,/^$/p' "$src/README.md" | cut -d'|' -f2 |
      grep -o -- '--[a-z][a-z-]*' | sort -u)
    man=$(sed -n '/^\.SH OPTIONS/,/^\.SH /p' "$src/src/main/noctra.1.in" | sed 's/\\-/-/g' |
      grep -o -- '^\.[BI]*R* *--[a-z-]*' | grep -o -- '--[a-z][a-z-]*' | sort -u)
    help=$("$build/src/main/noctra" --help | grep -o -- '^ *--[a-z-]*' | tr -d ' ' | sort -u)
    [ "$readme" = "$man" ] || fail "README and noctra.1 differ: $(diff <(echo "$readme") <(echo "$man") | grep '^[<>]')"
    [ "$readme" = "$help" ] || fail "README and --help differ: $(diff <(echo "$readme") <(echo "$help") | grep '^[<>]')"
    ;;
  deps_without_sudo)
    # Not root, no sudo, packages missing: one line to run as root, nothing installed.
    mkdir "$tmp/bin"
    printf '#!/bin/sh\necho 1000\n' >"$tmp/bin/id"
    printf '#!/bin/sh\nexit 1\n' >"$tmp/bin/dpkg-query"
    printf '#!/bin/sh\ntouch %s/apt-get-ran\n' "$tmp" >"$tmp/bin/apt-get"
    chmod +x "$tmp"/bin/*
    ln -s "$(command -v grep)" "$tmp/bin/grep"
    status=0
    PATH=$tmp/bin "$BASH" "$src/scripts/deps.sh" 2>"$tmp/err" || status=$?
    [ "$status" = 1 ] || fail "exit status $status"
    [ ! -e "$tmp/apt-get-ran" ] || fail "apt-get ran"
    [ "$(wc -l <"$tmp/err")" = 1 ] || fail "not one line: $(cat "$tmp/err")"
    grep -q 'as root run: apt-get update && apt-get install -y --no-install-recommends build-essential cmake' \
      "$tmp/err" || fail "$(cat "$tmp/err")"
    ;;
  *) fail "unknown case $case_name" ;;
esac
