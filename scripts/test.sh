#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds the three configurations and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
status=0
for config in default asan x86; do
  echo "=== $config: build"
  bash scripts/build.sh "$config"
  echo "=== $config: test"
  ctest --test-dir "build/$config" --output-on-failure -j "$(nproc)" || status=1
done
exit $status
