#!/usr/bin/env bash
# Builds Korin (release build in build/) and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORIN_TESTS=OFF -DKORIN_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc)"
echo "Korin is built in build/bin."
