#!/usr/bin/env bash
# Sets up, builds and runs ksym against the embedded simulated controller:
#   scripts/ksym.sh [ksym arguments...]
# Only what the tool needs is installed and built (the tool preset: no tests), so that a
# fresh machine shows the first line soon.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh tool
scripts/build.sh tool ksym >/dev/null
exec build/tool/tools/ksym/ksym "$@"
