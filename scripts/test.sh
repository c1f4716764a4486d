#!/bin/sh
# Installs what is missing, builds, and runs the whole test suite.
#   BUILD_DIR          build directory (default: build)
#   UPDATER_CMAKE_ARGS extra arguments for cmake (e.g. -DUPDATER_SANITIZE=ON)
#   CTEST_ARGS         extra arguments for ctest
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
BUILD_DIR=${BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$BUILD_DIR" -G Ninja ${UPDATER_CMAKE_ARGS:-}
cmake --build "$BUILD_DIR"
# The end-to-end tests mount private namespaces and need root.
# shellcheck disable=SC2086
cd "$BUILD_DIR" && ctest --output-on-failure -j "$(nproc)" ${CTEST_ARGS:-}
