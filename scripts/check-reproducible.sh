#!/usr/bin/env bash
# check-reproducible.sh [COMMIT]
# Builds the 32-bit product twice from one commit (default HEAD), from two
# copies of its tree at different paths into differently named build folders,
# makes the release ZIP and the test bundle from each, and checks that the
# DLL, its debug information, map and import library, the two tools and both
# ZIPs come out byte for byte the same. Prints both builds' sha256sum lines;
# exits 1 when a file differs. Uncommitted changes are not part of the check:
# commit first. Both builds together took 26 minutes on 2 shared cores (the
# test bundle needs the tests built); it is not part of ctest, which checks
# the working tree: the package test checks the usual leaks (a link time
# stamp, a build path, a ZIP entry's date) in what it ships instead.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
commit=${1:-HEAD}
if [ $# -gt 1 ] || [ "${1:-}" = -h ] || [ "${1:-}" = --help ]; then
  echo "usage: scripts/check-reproducible.sh [COMMIT]" >&2
  exit 2
fi
if ! sha=$(git -C "$repo" rev-parse --verify --quiet "$commit^{commit}"); then
  echo "check-reproducible: '$commit' is not a commit of $repo; give a commit, branch or tag (default HEAD)" >&2
  exit 2
fi
binaries=(bin/Quentra.dll bin/Quentra.dll.debug bin/Quentra.map bin/Quentra.lib bin/quentra-host.exe
  bin/quentra-campaign.exe package/Quentra-VERSION-x86.zip package/Quentra-tests-VERSION-x86.zip)
work=$(mktemp -d "${TMPDIR:-/tmp}/quentra-repro.XXXXXX")
trap 'rm -rf "$work"' EXIT

# build TREE BUILD_FOLDER_NAME: the commit's files into TREE, built in
# TREE/build/NAME, with its release ZIP and test bundle in its package folder.
build() {
  local tree=$1 out=$1/build/$2
  mkdir -p "$tree"
  git -C "$repo" archive "$sha" | tar -x -C "$tree"
  if ! { cmake -S "$tree" -B "$out" --toolchain "$tree/cmake/toolchains/i686-w64-mingw32.cmake" \
           -DCMAKE_BUILD_TYPE=Release &&
         cmake --build "$out" -j2 &&
         python3 "$tree/scripts/make_release.py" "$out" "$out/package" &&
         python3 "$tree/scripts/make_test_bundle.py" "$out"; } >"$work/$2.log" 2>&1; then
    tail -n 30 "$work/$2.log" >&2
    echo "check-reproducible: the build in $out failed (above); nothing was compared" >&2
    exit 1
  fi
}

start=$SECONDS
echo "check-reproducible: commit $sha"
build "$work/a/Quentra" repro-a
build "$work/second-copy/of-the/tree" repro-b
a=$work/a/Quentra/build/repro-a
b=$work/second-copy/of-the/tree/build/repro-b
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$a/CMakeCache.txt")
differ=0
for f in "${binaries[@]//VERSION/$version}"; do
  ha=$(sha256sum "$a/$f" | cut -d' ' -f1)
  hb=$(sha256sum "$b/$f" | cut -d' ' -f1)
  echo "a  $ha  $f"
  echo "b  $hb  $f"
  if [ "$ha" != "$hb" ]; then
    differ=1
    echo "check-reproducible: $f differs; first differing bytes (offset, a, b, octal):" >&2
    cmp -l "$a/$f" "$b/$f" | head -n 5 >&2 || true
  fi
done
echo "check-reproducible: two builds in $((SECONDS - start)) s"
if [ $differ -ne 0 ]; then
  echo "check-reproducible: FAILED: the builds differ (a time stamp or a build path in the output?)" >&2
  exit 1
fi
echo "check-reproducible: ${#binaries[@]} files byte for byte the same"
