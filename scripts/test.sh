#!/usr/bin/env bash
# Sets up, builds and runs every test: the native build, then the address and thread
# sanitizer builds, and a format check of the sources.
#   scripts/test.sh [PRESET...]   (default: dev asan tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(dev asan tsan)

echo "== format check"
git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

for preset in "${presets[@]}"; do
    echo "== $preset: build"
    scripts/build.sh "$preset"
    echo "== $preset: test"
    ctest --preset "$preset" -j 2
done
