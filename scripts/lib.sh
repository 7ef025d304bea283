# Shared by the Linux wrappers in tools/ and the scripts; sourced, never run.
#
# quentra_winpath PATH
#   The path Wine's programs see for a Linux path: its Z: drive form.
# quentra_ensure_built NAME REPO BUILD GIVEN TARGET...
#   Builds TARGETs in BUILD, saying so first (a first build takes about 80 s).
#   GIVEN is the build tree the user named in QUENTRA_BUILD: that tree is
#   built as it is configured; without one, the win64 preset of REPO is
#   configured and built. Answers 2 after naming the failed command.

quentra_winpath() { printf 'Z:%s' "$(realpath -m -- "$1" | tr / '\\')"; }

quentra_ensure_built() {
  local name=$1 repo=$2 build=$3 given=$4; shift 4
  echo "$name: building $* in $build (the first build takes about 80 s) ..." >&2
  if [ -n "$given" ]; then
    cmake --build "$build" --target "$@" >&2 && return 0
    echo "$name: could not build in $build (cmake --build $build --target $*)" >&2
  else
    (cd "$repo" && cmake --preset win64 >&2 && cmake --build --preset win64 --target "$@" >&2) && return 0
    echo "$name: could not build (cmake --preset win64 && cmake --build --preset win64 in $repo)" >&2
  fi
  return 2
}
