#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a C caller against it twice: through
# find_package(KSymbol) and through pkg-config. Each caller must see version 0x0100000B.
set -euo pipefail
build_dir=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null

cmake -S "$source_dir/tests/install/consumer" -B "$work/cmake-build" -G Ninja \
    -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer"

libdir=$(dirname "$(find "$work/prefix" -name ksymbol.pc -print -quit)")
cc -std=c99 -Wall -Werror -o "$work/pkg-consumer" "$source_dir/tests/install/consumer.c" \
    $(PKG_CONFIG_PATH="$libdir" pkg-config --cflags --libs ksymbol)
"$work/pkg-consumer"
echo "installed library: find_package and pkg-config callers both see 0x0100000B"
