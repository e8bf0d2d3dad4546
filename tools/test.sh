#!/usr/bin/env bash
# Sets up and builds (tools/setup.sh), runs every test of the native build,
# then the Windows lane (cross-built updater.exe under Wine), which is
# skipped, with a short text on how to get one, when no Windows Qt toolchain
# archive is found (tools/build-windows-toolchain.sh makes one).
#
#   tools/test.sh
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}

"$ROOT/tools/setup.sh"
ctest --test-dir "$BUILD_DIR" --output-on-failure --parallel 2
"$ROOT/tools/windows-lane.sh"
