#!/usr/bin/env bash
# Builds and runs every test in the debug, release, ASan+UBSan and TSan presets (or in the
# presets named as arguments).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

presets=("${@:-debug}")
[ $# -gt 0 ] || presets=(debug release asan tsan)

jobs=$(nproc)
for preset in "${presets[@]}"; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
