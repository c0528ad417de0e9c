#!/usr/bin/env bash
# Installs the Debian packages a task needs, and only when some are missing,
# so that a fresh machine and a prepared one run the same commands.
#
#   install-packages.sh build     compile and run the native program
#   install-packages.sh demo      build, plus a CUPS scheduler to run it against
#   install-packages.sh package   build, plus dpkg-shlibdeps for the .deb and
#                                 mingw-w64 for the Windows zips
#   install-packages.sh test      build, plus a CUPS scheduler, GoogleTest,
#                                 mingw-w64 and Wine for every test suite
#                                 (cups-browsed for its implicitclass backend), what
#                                 stands between the probe and a scheduler in
#                                 some (socat, openssl, iproute2), zlib for a
#                                 compressing one, and what the
#                                 package and its man page are checked with (lintian)
#
# Wine's 32-bit half comes from the i386 archive, which is not always in step
# with the amd64 one: on a day it cannot be installed, the script says so and
# goes on, and the 32-bit Windows cases are skipped with that reason.
set -eu

build=(cmake ninja-build g++ pkg-config libcups2-dev libcurl4-gnutls-dev)
demo=("${build[@]}" cups-daemon cups-client)
package=("${build[@]}" dpkg-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64)
test=("${build[@]}" libgtest-dev cups-daemon cups-client cups-browsed valgrind clang libclang-rt-14-dev
      clang-tidy clang-format socat openssl iproute2 zlib1g-dev
      g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64
      dpkg-dev man-db lintian)
# wine32 is the 32-bit half of Wine, and libcups2:i386 what its spooler reads
# CUPS through.
wine32=(wine32:i386 libcups2:i386)

case "${1:-}" in
  build) wanted=("${build[@]}") ;;
  demo) wanted=("${demo[@]}") ;;
  package) wanted=("${package[@]}") ;;
  test) wanted=("${test[@]}" "${wine32[@]}") ;;
  *) echo "usage: install-packages.sh build|demo|package|test" >&2; exit 2 ;;
esac

native=() foreign=()
for package in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [ "$status" = installed ] && continue
  case $package in
    *:i386) foreign+=("$package") ;;
    *) native+=("$package") ;;
  esac
done
[ $((${#native[@]} + ${#foreign[@]})) -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "These Debian packages are missing: ${native[*]} ${foreign[*]}" >&2
  echo "Install them as root (apt-get install ...), or run this again as root." >&2
  exit 1
fi
if [ ${#foreign[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
# Installing cups-daemon would start the machine's own scheduler, which the
# tests and the demo leave alone, so starting services is refused for the
# length of the install unless a local rule already decides.
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
  chmod +x /usr/sbin/policy-rc.d
  trap 'rm -f /usr/sbin/policy-rc.d' EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
fi
export DEBIAN_FRONTEND=noninteractive

# An index that fails to load (a mirror half way through a sync) is tried
# once more, then left to the installs to judge: what they need may well be
# in the indexes that did load.
if ! log=$(apt-get update -qq 2>&1) && ! log=$(apt-get update -qq 2>&1); then
  failed=$(grep -o 'Failed to fetch [^ ]*' <<<"$log" | cut -d' ' -f4 | paste -sd' ')
  [ -n "$failed" ] || failed="($(grep '^E:' <<<"$log" | tail -n 1))"
  echo "install-packages: apt-get update could not load $failed, twice; going on with the indexes it has"
fi

if [ ${#native[@]} -gt 0 ]; then
  echo "Installing: ${native[*]}"
  apt-get install -y -qq "${native[@]}" >/dev/null
fi
if [ ${#foreign[@]} -gt 0 ]; then
  echo "Installing: ${foreign[*]}"
  if ! log=$(apt-get install -y -qq "${foreign[@]}" 2>&1); then
    # apt's own reason: the first package it could not have, or its last error.
    reason=$(grep -m 1 -E ' : (Pre)?Depends: |^E: Package ' <<<"$log" || grep '^E:' <<<"$log" | tail -n 1)
    echo "install-packages: ${foreign[*]} cannot be installed today, so the 32-bit Windows cases will be skipped:" \
         "$(sed 's/^ *//; s/  */ /g' <<<"$reason")"
  fi
fi
