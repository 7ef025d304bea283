#!/usr/bin/env bash
# check-reproducible.sh [COMMIT]
# Builds the 32-bit product twice from one commit (default HEAD), from two
# copies of its tree at different paths into differently named build folders,
# and checks that Quentra.dll and the two tools come out byte for byte the
# same. Prints both builds' sha256sum lines; exits 1 when a file differs.
# Uncommitted changes are not part of the check: commit first.
# Both builds together take 25 to 60 seconds on 2 cores; it is not part of
# ctest, which checks the working tree: the package test checks the two usual
# leaks (a link time stamp, a build path) in every shipped program instead.
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
binaries=(Quentra.dll quentra-host.exe quentra-campaign.exe)
work=$(mktemp -d "${TMPDIR:-/tmp}/quentra-repro.XXXXXX")
trap 'rm -rf "$work"' EXIT

# build TREE BUILD_FOLDER_NAME: the commit's files into TREE, built in TREE/build/NAME.
build() {
  local tree=$1 out=$1/build/$2
  mkdir -p "$tree"
  git -C "$repo" archive "$sha" | tar -x -C "$tree"
  if ! { cmake -S "$tree" -B "$out" --toolchain "$tree/cmake/toolchains/i686-w64-mingw32.cmake" \
           -DCMAKE_BUILD_TYPE=Release -DQUENTRA_BUILD_TESTS=OFF &&
         cmake --build "$out" -j2; } >"$work/$2.log" 2>&1; then
    tail -n 30 "$work/$2.log" >&2
    echo "check-reproducible: the build in $out failed (above); nothing was compared" >&2
    exit 1
  fi
}

start=$SECONDS
echo "check-reproducible: commit $sha"
build "$work/a/Quentra" repro-a
build "$work/second-copy/of-the/tree" repro-b
a=$work/a/Quentra/build/repro-a/bin
b=$work/second-copy/of-the/tree/build/repro-b/bin
differ=0
for f in "${binaries[@]}"; do
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
echo "check-reproducible: ${#binaries[@]} binaries byte for byte the same"
