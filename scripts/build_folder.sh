#!/usr/bin/env bash
# Prints the build folder for SANITIZE and BUILD_TYPE (see build.sh): build, build-asan,
# build-tsan, build-release, ...
sanitize=${SANITIZE:-}
build_type=${BUILD_TYPE:-Debug}
folder=build${sanitize:+-$sanitize}
[[ $build_type == Debug ]] || folder+=-${build_type,,}
echo "$folder"
