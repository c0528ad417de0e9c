#!/usr/bin/env bash
# Installs the Debian packages a task needs, and only when some are missing,
# so that a fresh machine and a prepared one run the same commands.
#
#   install-packages.sh build     compile and run the native program
#   install-packages.sh demo      build, plus a CUPS scheduler to run it against
#   install-packages.sh package   build, plus dpkg-shlibdeps for the .deb and
#                                 mingw-w64 for the Windows zips
#   install-packages.sh test      build, plus a CUPS scheduler, GoogleTest,
#                                 mingw-w64 and Wine for every test suite, and
#                                 what the package and its man page are checked with (lintian)
set -eu

build=(cmake ninja-build g++ pkg-config libcups2-dev)
demo=("${build[@]}" cups-daemon cups-client)
package=("${build[@]}" dpkg-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64)
test=("${build[@]}" libgtest-dev cups-daemon cups-client valgrind clang libclang-rt-14-dev
      clang-tidy clang-format
      g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32:i386 libcups2:i386
      dpkg-dev man-db lintian)

case "${1:-}" in
  build) wanted=("${build[@]}") ;;
  demo) wanted=("${demo[@]}") ;;
  package) wanted=("${package[@]}") ;;
  test) wanted=("${test[@]}") ;;
  *) echo "usage: install-packages.sh build|demo|package|test" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "These Debian packages are missing: ${missing[*]}" >&2
  echo "Install them as root (apt-get install ...), or run this again as root." >&2
  exit 1
fi
# wine32 is the 32-bit half of Wine, and libcups2:i386 what its spooler reads
# CUPS through; their packages come from the i386 archive.
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
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
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
