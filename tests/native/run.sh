#!/bin/sh
# Builds the core (without the Python module) and the native test drivers,
# then runs them. A throwaway build directory unless RADAR_NATIVE_BUILD_DIR
# names one to keep (faster reruns). RADAR_SANITIZE=address,undefined adds
# sanitizers. The build type defaults to None (no optimisation, no debug
# information: the quickest to compile); RADAR_NATIVE_BUILD_TYPE=Debug for a debugger.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
if [ -n "${RADAR_NATIVE_BUILD_DIR:-}" ]; then
    build=$RADAR_NATIVE_BUILD_DIR
    mkdir -p "$build"
else
    build=$(mktemp -d "${TMPDIR:-/tmp}/radar-native.XXXXXX")
    trap 'rm -rf "$build"' EXIT
fi
cmake -S "$here" -B "$build" -DRADAR_BUILD_PYTHON=OFF -DCMAKE_BUILD_TYPE="${RADAR_NATIVE_BUILD_TYPE:-None}" \
    -DRADAR_SANITIZE="${RADAR_SANITIZE:-}" >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" --target tardis_test --parallel "${CMAKE_BUILD_PARALLEL_LEVEL:-2}" >"$build/build.log" 2>&1 \
    || { cat "$build/build.log"; exit 1; }
"$build/tardis_test"
