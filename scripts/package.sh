#!/usr/bin/env bash
# Builds what is handed to other machines, into build/packages/:
#
#   printer-probe_VERSION_ARCH.deb          the program, its man page, copyright and changelog
#   printer-probe-VERSION-windows-x86.zip   the 32-bit Windows build, how to run it, and its license
#   printer-probe-VERSION-windows-x64.zip   the 64-bit one
#
# The version is the one of project() in CMakeLists.txt. Says nothing but
# the files it wrote, unless a step fails.
set -eu
cd "$(dirname "$0")/.."
scripts/install-packages.sh package

out=$PWD/build/packages
log=$(mktemp)
scratch=$(mktemp -d)
trap 'rm -rf "$log" "$scratch"' EXIT
quietly() {
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    echo "package.sh: failed: $*" >&2
    exit 1
  fi
}
mkdir -p "$out"

quietly cmake --preset package
quietly cmake --build --preset package
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/package/CMakeCache.txt)
deb=printer-probe_${version}_$(dpkg --print-architecture).deb
rm -f "build/package/$deb"
(cd build/package && quietly cpack -G DEB)
mv "build/package/$deb" "$out/"
echo "$out/$deb"

for preset in windows-x86 windows-x64; do
  case $preset in
    windows-x86) processor=i686 bits=32 ;;
    windows-x64) processor=x86_64 bits=64 ;;
  esac
  # The program alone, so a build dir the tests configured stays as it is.
  quietly cmake --preset $preset
  quietly cmake --build --preset $preset --target printer-probe
  mkdir "$scratch/$preset"
  quietly "$processor-w64-mingw32-strip" -o "$scratch/$preset/printer-probe.exe" "build/$preset/printer-probe.exe"
  sed -e "s/@VERSION@/$version/g" -e "s/@BITS@/$bits/g" -e 's/$/\r/' docs/windows-readme.txt \
    >"$scratch/$preset/README.txt"
  # Windows's own tools read text by its CR LF line ends.
  sed -e 's/$/\r/' LICENSE >"$scratch/$preset/LICENSE"
  zip=$out/printer-probe-$version-$preset.zip
  rm -f "$zip"
  (cd "$scratch/$preset" && quietly cmake -E tar cf "$zip" --format=zip printer-probe.exe README.txt LICENSE)
  echo "$zip"
done
