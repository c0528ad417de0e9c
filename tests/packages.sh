#!/usr/bin/env bash
# What another machine is handed, as scripts/package.sh builds it: the .deb
# clean to lintian, unpacked (never installed) and its program run against a
# private scheduler; its man page rendered, of the project's version, and
# the same as the README's table of failure codes; each zip holding its own
# build, the text beside it and the license.
set -eu
cd "$(dirname "$0")/.."
PATH=$PATH:/usr/sbin:/sbin
scratch=$(mktemp -d)
trap 'tests/private-cupsd.sh stop "$scratch/cups"; rm -rf "$scratch"' EXIT
failed=0
fail() { echo "FAILED: $*" >&2; failed=1; }

scripts/package.sh
version=$(sed -n 's/^project(printer-probe VERSION \([^ ]*\) .*/\1/p' CMakeLists.txt)
packages=build/packages

deb=$packages/printer-probe_${version}_$(dpkg --print-architecture).deb
lintian --fail-on error,warning "$deb" >"$scratch/lintian" 2>&1 ||
  { cat "$scratch/lintian" >&2; fail "lintian finds errors or warnings in $deb (above)"; }
[ "$(dpkg-deb -f "$deb" Package)" = printer-probe ] || fail "Package: $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Section)" = utils ] || fail "Section: $(dpkg-deb -f "$deb" Section)"
for library in libcups2 libcurl3-gnutls; do
  dpkg-deb -f "$deb" Depends | grep -Eq "(^|, )$library( |,|\$)" || fail "Depends lacks $library: $(dpkg-deb -f "$deb" Depends)"
done
dpkg-deb -x "$deb" "$scratch/root"
zcat "$scratch/root/usr/share/doc/printer-probe/changelog.gz" | head -n 1 |
  grep -qx "printer-probe ($version) unstable; urgency=medium" || fail "the changelog's first entry is not $version"
probe=$scratch/root/usr/bin/printer-probe
page=$scratch/root/usr/share/man/man1/printer-probe.1.gz
! readelf -S "$probe" | grep -q '\.symtab' || fail "$probe is not stripped"

socket=$(PRIVATE_CUPSD_OWNER=$$ tests/private-cupsd.sh start "$scratch/cups")
for queue in Drucker_Küche office-laser; do
  CUPS_SERVER=$socket lpadmin -p "$queue" -v file:///dev/null -E
done
# setsid: no controlling terminal, so no wait for a key.
CUPS_SERVER=$socket setsid -w "$probe" </dev/null >"$scratch/output"
for width in ASCII WIDE; do
  grep -A4 -x "Printing $width results:" "$scratch/output" >"$scratch/listing" || true
  printf 'Printing %s results:\n  Item 0\n    pPrinterName: [Drucker_Küche]\n  Item 1\n    pPrinterName: [office-laser]\n' \
    "$width" | diff - "$scratch/listing" >&2 || fail "the $width listing of $probe (whole output above)"
done
[ "$failed" -eq 0 ] || cat "$scratch/output" >&2

zcat "$page" | cmp -s - docs/printer-probe.1 || fail "$page is not docs/printer-probe.1"
# The page's title line carries the version as "printer-probe VERSION".
shown=$(sed -n 's/^\.TH PRINTER-PROBE 1 [^ ]* "printer-probe \([^"]*\)".*/\1/p' docs/printer-probe.1)
[ "$shown" = "$version" ] || fail "docs/printer-probe.1's .TH gives version '$shown', project() $version"
for locale in C.UTF-8 C; do
  LC_ALL=$locale MANWIDTH=80 man --warnings=w -l "$page" 2>"$scratch/warnings" >"$scratch/page"
  [ ! -s "$scratch/warnings" ] || fail "man warns ($locale): $(cat "$scratch/warnings")"
  grep -q '^DIAGNOSTICS' "$scratch/page" || fail "man ($locale) shows no DIAGNOSTICS"
done
awk '/^## Common failure codes/ { on = 1; next } on && /^\|/ { print; seen = 1; next } seen { exit }' README.md |
  diff - <(scripts/failure-codes.sh) >&2 ||
  fail "README.md's failure codes differ from the man page's (> lines): put scripts/failure-codes.sh in its place"

for preset in windows-x86 windows-x64; do
  zip=$packages/printer-probe-$version-$preset.zip
  [ "$(cmake -E tar tf "$zip" | LC_ALL=C sort | paste -sd' ')" = "LICENSE README.txt printer-probe.exe" ] ||
    fail "$zip holds: $(cmake -E tar tf "$zip" | paste -sd' ')"
  mkdir "$scratch/$preset"
  (cd "$scratch/$preset" && cmake -E tar xf "$OLDPWD/$zip")
  case $preset in
    windows-x86) objdump=i686-w64-mingw32-objdump magic=PE32 ;;
    windows-x64) objdump=x86_64-w64-mingw32-objdump magic=PE32+ ;;
  esac
  tests/windows-exe.sh $objdump "$scratch/$preset/printer-probe.exe" $magic >/dev/null || fail "$zip's program"
  ! grep -qv $'\r$' "$scratch/$preset/README.txt" || fail "$zip's README.txt has lines without CRLF"
  sed 's/\r$//' "$scratch/$preset/LICENSE" | cmp -s - LICENSE || fail "$zip's LICENSE is not LICENSE"
done

[ "$failed" -eq 0 ] && echo "packages: the .deb, its man page and both zips as they should be"
exit "$failed"
