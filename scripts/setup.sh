#!/usr/bin/env bash
# Installs what the build and the tests need and this machine lacks (Debian packages), then
# the Node.js modules of ksym opcua's gateway (npm ci, from its lockfile).
#   scripts/setup.sh        everything the tests need
#   scripts/setup.sh tool   only what building ksym needs (scripts/ksym.sh)
set -euo pipefail

if [ "${1:-}" = tool ]; then
    packages=(cmake ninja-build g++ pkg-config libcli11-dev nlohmann-json3-dev
              libcpp-httplib-dev libjs-chart.js)
else
    packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev googletest
              libbenchmark-dev libcli11-dev nlohmann-json3-dev libcpp-httplib-dev libjs-chart.js
              clang-format python3-pytest python3-setuptools python3-pip)
    # The Python wheel: its run paths, its build, and the fresh environment its test installs
    # it into.
    packages+=(patchelf python3-wheel python3-venv)
    # The browser test of ksym serve's page.
    packages+=(chromium chromium-driver python3-selenium)
    # ksym publish: the MQTT client library, and the broker and subscriber its tests run;
    # Protocol Buffers for its Sparkplug B payloads.
    packages+=(libmosquitto-dev mosquitto mosquitto-clients openssl)
    packages+=(libprotobuf-dev protobuf-compiler)
    # ksym opcua's gateway and its tests run on Node.js: Debian's, where the machine has none.
    if ! command -v node >/dev/null; then
        packages+=(nodejs npm)
    elif ! command -v npm >/dev/null; then
        packages+=(npm)
    fi
fi
# The i386 build: the 32-bit compilers and libraries, and qemu-user to run its programs.
if [ "${1:-}" != tool ] && [ "${KSYM_SKIP_LINUX32:-0}" != 1 ]; then
    packages+=(g++-multilib qemu-user)
fi
# The Windows builds: the cross compilers, and wine to run their tests (wine32 from the i386
# architecture for the 32-bit programs).
windows=0
if [ "${1:-}" != tool ] && [ "${KSYM_SKIP_WINDOWS:-0}" != 1 ]; then
    windows=1
    # llvm-dlltool makes the import libraries for Microsoft's linker; clang and lld-link
    # link a program by that linker's rules in the archive's test.
    packages+=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32:i386 llvm clang lld-14
               unzip)
fi
# The fuzz targets (scripts/fuzz.sh): clang with its libFuzzer runtime.
if [ "${1:-}" != tool ] && [ "${KSYM_WITH_FUZZ:-0}" = 1 ]; then
    packages+=(clang libclang-rt-14-dev)
fi
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
if [ $windows -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: adding the i386 architecture (for wine32)"
    "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
fi

# The gateway's modules, as its lockfile fixes them, again whenever the lockfile changed.
gateway="$(cd "$(dirname "$0")/.." && pwd)/tools/ksym/opcua/node"
if command -v node >/dev/null && command -v npm >/dev/null; then
    if [ ! -f "$gateway/node_modules/.package-lock.json" ] ||
        [ "$gateway/package-lock.json" -nt "$gateway/node_modules/.package-lock.json" ]; then
        echo "setup: installing the OPC UA gateway's Node.js modules (npm ci)"
        (cd "$gateway" && npm ci --no-audit --no-fund --loglevel=error)
    fi
else
    echo "setup: no Node.js on this machine: ksym opcua will say it is missing"
fi
