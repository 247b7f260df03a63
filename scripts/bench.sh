#!/usr/bin/env bash
# Builds the benchmarks in a release build (build-bench/) and runs them all,
# or those whose name matches $1.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKORIN_TESTS=OFF -DKORIN_BENCH=ON >/dev/null
cmake --build build-bench -j "$(nproc)"
for b in build-bench/bin/bench_* build-bench/bin/*_bench; do
  [ -x "$b" ] || continue
  case "$b" in *"${1:-}"*) ;; *) continue ;; esac
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2
done
echo "The drive mounts have their own benchmark beside direct access and bindfs: bench/fuse/fuse_bench.sh"
