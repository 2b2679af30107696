#!/usr/bin/env bash
# Sets up, builds and runs ksym against the embedded simulated controller:
#   scripts/ksym.sh [ksym arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh dev ksym >/dev/null
exec build/dev/tools/ksym/ksym "$@"
