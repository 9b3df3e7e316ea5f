#!/usr/bin/env bash
# Builds what the benchmarks need and runs them one after the other, for
# each store of KST_BENCH_STORES (default "normal"; "memory normal full"
# gives every store's figures in one run); the soak runs only when asked
# for, with its duration in seconds:
#
#   bench/run-all.sh [BUILD_DIR] [SOAK_SECONDS]
#
# Run as root (the daemon runs in a private mount namespace, as in the
# tests). Everything the runs create lives below BUILD_DIR/scratch and is
# removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
soak=${2:-}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja
fi
cmake --build "$build" -j2 --target kstd smscsim kstbench kst_quiet_console httpload

stores=${KST_BENCH_STORES:-normal}

echo "== $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, uptime:$(uptime | sed 's/.*up/ up/')"
bench/bench_disk.py --build "$build"
for store in $stores; do
  echo
  bench/bench_sendsms.py --build "$build" --store "$store"
  echo
  bench/bench_e2e.py --build "$build" --store "$store"
  echo
  bench/bench_smpp.py --build "$build" --store "$store"
done
echo
bench/bench_cluster.py --build "$build"
for store in $stores; do
  echo
  bench/bench_memory.py --build "$build" --store "$store"
done
if [ -n "$soak" ]; then
  echo
  bench/soak.py --build "$build" --duration "$soak"
fi
echo
echo "== done, uptime:$(uptime | sed 's/.*up/ up/')"
