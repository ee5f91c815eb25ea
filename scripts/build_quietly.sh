# Sourced by the scripts that run a program of the build (zarq7.sh, fault_matrix.sh):
#   build_quietly WHO PRODUCT TARGET...
# builds the targets with build.sh (SANITIZE and BUILD_TYPE as there) with its output kept back:
# printed on stderr only when the build fails. When PRODUCT (a path in the build folder) is not
# there yet, one line on stderr says that a first build is on its way, and how long it takes.
build_quietly() {
  local who=$1 product=$2 build log
  shift 2
  build=$(scripts/build_folder.sh)
  if [[ ! -e $build/$product ]]; then
    echo "$who: first build of ${*} in $build/, about two minutes on two cores (more with" \
      "an empty compiler cache); later runs build only what changed" >&2
  fi
  log=$(mktemp)
  if ! scripts/build.sh "$@" >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    echo "$who: the build failed" >&2
    return 1
  fi
  rm -f "$log"
}
