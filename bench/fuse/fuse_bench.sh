#!/usr/bin/env bash
# Drive-mount benchmark: a real korin-host with drive K:, measured in one run
# beside direct access to the same host directory and beside bindfs (its
# default mode) over that directory:
#   * sequential read of a 1 GiB mapped file, cold and warm;
#   * stat of 10,000 mapped files, cold and warm;
#   * listing (readdir and a stat of every entry, as ls -l does) of a folder
#     of 10,000 mappings, cold and warm.
# Every figure is the median of several runs; "cold" drops the kernel's
# caches first (root only; skipped otherwise). Prints every ratio and the goals.
#
# usage: fuse_bench.sh [BIN_DIR]   (BIN_DIR: korin, korin-host, KRDriver.sys,
#                                   fuse_bench_tool; default build-bench/bin)
# KORIN_BENCH_FILES, KORIN_BENCH_MIB, KORIN_BENCH_RUNS and KORIN_BENCH_DIR
# change the number of files, the size of the big file, the runs per figure
# and where the data goes (default /var/tmp).
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
bin=${1:-$root/build-bench/bin}
korin=$bin/korin
tool=$bin/fuse_bench_tool
files=${KORIN_BENCH_FILES:-10000}
mib=${KORIN_BENCH_MIB:-1024}
runs=${KORIN_BENCH_RUNS:-5}
for needed in "$korin" "$bin/korin-host" "$bin/KRDriver.sys" "$tool"; do
  [ -x "$needed" ] || [ -f "$needed" ] || { echo "fuse_bench: $needed is missing; build first" >&2; exit 1; }
done

# bindfs is only the reference of this benchmark: installed here, from Debian.
if ! command -v bindfs >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "Installing bindfs (the benchmark's reference)"
  $sudo apt-get install -y -qq bindfs >/dev/null
fi

work=$(mktemp -d "${KORIN_BENCH_DIR:-/var/tmp}/korin-fuse-bench.XXXXXX")
export KORIN_HOME=$work/home
data=$work/data
bindmnt=$work/bindfs
mnt=$KORIN_HOME/mnt/K
cleanup() {
  fusermount3 -u -z "$bindmnt" 2>/dev/null || umount -l "$bindmnt" 2>/dev/null || true
  "$korin" host stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "Preparing $mib MiB and $files files in $data"
mkdir -p "$data/files" "$bindmnt"
dd if=/dev/urandom of="$data/big.bin" bs=1M count="$mib" status=none
for ((i = 0; i < files; i++)); do printf 'file %d\n' "$i" >"$data/files/f$i"; done

"$korin" host start --drive "T=$data" >/dev/null
"$korin" setup >/dev/null
"$korin" drive create K Bench >/dev/null
"$korin" map "$data/big.bin" 'K:\big.bin' >/dev/null
"$korin" mkdir 'K:\Many' >/dev/null
echo "Mapping $files files into K:\\Many"
seq 0 $((files - 1)) | xargs -P 4 -I{} "$korin" map "$data/files/f{}" 'K:\Many\f{}' >/dev/null
bindfs "$data" "$bindmnt"

can_drop=0
[ -w /proc/sys/vm/drop_caches ] && can_drop=1
drop() { sync; echo 3 >/proc/sys/vm/drop_caches; }
median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

# One measured pass of TOOL-ARGS..., cold (the kernel's caches dropped
# first) or warm (right after an unmeasured pass); "-" when cold passes are
# not possible here.
pass_time() {
  local mode=$1
  shift
  if [ "$mode" = cold ]; then
    [ $can_drop -eq 1 ] || { echo "-"; return; }
    drop
  else
    "$tool" "$@" >/dev/null
  fi
  "$tool" "$@"
}

# ratio A B: A / B with two decimals, "-" when either is missing.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || b == 0) print "-"; else printf "%.2f", a / b }'; }

# The three ways in turn within every run, so that whatever else the machine
# does meanwhile weighs on all of them alike; each figure is a median.
declare -A samples t
for ((r = 0; r < runs; r++)); do
  for what in read stat list; do
    for mode in cold warm; do
      for where in direct mount bindfs; do
        case $where in
          direct) file=$data/big.bin; many=$data/files ;;
          mount) file=$mnt/big.bin; many=$mnt/Many ;;
          bindfs) file=$bindmnt/big.bin; many=$bindmnt/files ;;
        esac
        case $what in
          read) value=$(pass_time $mode read "$file") ;;
          stat) value=$(pass_time $mode stat "$many" "$files") ;;
          list) value=$(pass_time $mode list "$many") ;;
        esac
        samples[$what,$where,$mode]+="$value "
      done
    done
  done
done
for key in "${!samples[@]}"; do
  t[$key]=$(echo "${samples[$key]}" | tr ' ' '\n' | grep -v '^$' | median)
done

echo
echo "Sequential read of a $mib MiB mapped file: seconds, and speed relative to a direct read"
printf '  %-8s %10s %8s %10s %8s\n' "" cold ratio warm ratio
for where in direct mount bindfs; do
  printf '  %-8s %10s %8s %10s %8s\n' $where "${t[read,$where,cold]}" "$(ratio "${t[read,direct,cold]}" "${t[read,$where,cold]}")" \
    "${t[read,$where,warm]}" "$(ratio "${t[read,direct,warm]}" "${t[read,$where,warm]}")"
done
for what in stat list; do
  echo
  if [ $what = stat ]; then echo "stat of $files mapped files: seconds, and times a direct stat"; else
    echo "Listing a folder of $files mappings (readdir, stat of each): seconds, and times a direct listing"; fi
  printf '  %-8s %10s %8s %10s %8s\n' "" cold times warm times
  for where in direct mount bindfs; do
    printf '  %-8s %10s %8s %10s %8s\n' $where "${t[$what,$where,cold]}" "$(ratio "${t[$what,$where,cold]}" "${t[$what,direct,cold]}")" \
      "${t[$what,$where,warm]}" "$(ratio "${t[$what,$where,warm]}" "${t[$what,direct,warm]}")"
  done
done

# goal LABEL OK: prints whether a goal is met.
goal() { printf '  %-58s %s\n' "$1" "$2"; }
ahead() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-") print "not measured"; else if (a < b) print "met"; else print "missed" }'; }
echo
echo "Goals"
goal "warm read at least 0.8 of direct ($(ratio "${t[read,direct,warm]}" "${t[read,mount,warm]}"))" \
  "$(awk -v r="$(ratio "${t[read,direct,warm]}" "${t[read,mount,warm]}")" 'BEGIN { print (r != "-" && r >= 0.8) ? "met" : "missed" }')"
goal "cold first read ahead of bindfs" "$(ahead "${t[read,mount,cold]}" "${t[read,bindfs,cold]}")"
goal "cold stat ahead of bindfs" "$(ahead "${t[stat,mount,cold]}" "${t[stat,bindfs,cold]}")"
goal "warm stat ahead of bindfs" "$(ahead "${t[stat,mount,warm]}" "${t[stat,bindfs,warm]}")"
goal "cold listing ahead of bindfs" "$(ahead "${t[list,mount,cold]}" "${t[list,bindfs,cold]}")"
goal "warm listing ahead of bindfs" "$(ahead "${t[list,mount,warm]}" "${t[list,bindfs,warm]}")"
