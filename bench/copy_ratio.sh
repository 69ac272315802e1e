#!/usr/bin/env bash
# Times `vorlune in </dev/null`, writing a new output and replacing one,
# against `cat in > out`, `dd bs=1M` and `dd bs=1M conv=fdatasync` (the copy
# flushed to the disk, as every run of the tool is) on the same file,
# alternating in one run so that all see the same machine state, then reports
# the medians, their ratios and the tool's peak resident memory on a large
# sparse file.
#
#   bench/copy_ratio.sh [SIZE] [FOLDER]
#
# SIZE is anything `truncate -s` accepts (default 512M); FOLDER defaults to
# /dev/shm (tmpfs). Environment: ROUNDS (default 15), RSS_SIZE (sparse file
# for the memory check, default 5G; 0 skips it), VORLUNE (the binary; built
# with the native preset when not given), ALSO ("name=binary ...": other
# builds, e.g. the one before a change, timed in the same rotation). A build
# NAME is timed on a new output, NAME+ replacing an existing one.
set -euo pipefail

size=${1:-512M}
folder=${2:-/dev/shm}
rounds=${ROUNDS:-15}
rss_size=${RSS_SIZE:-5G}
repo=$(cd "$(dirname "$0")/.." && pwd)

need_packages=()
[[ -x /usr/bin/time ]] || need_packages+=(time)
command -v cmake >/dev/null || need_packages+=(cmake)
if ((${#need_packages[@]})); then
  sudo_cmd=()
  ((EUID == 0)) || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get install -y "${need_packages[@]}" >/dev/null
fi

vorlune=${VORLUNE:-$repo/build/native/vault_tool/vorlune}
if [[ -z ${VORLUNE:-} ]]; then
  (cd "$repo" && cmake --preset native >/dev/null && cmake --build build/native -j2 --target vault_tool >/dev/null)
fi
[[ -x $vorlune ]] || { echo "no executable at $vorlune" >&2; exit 1; }

work=$(mktemp -d "$folder/copy_ratio.XXXXXX")
trap 'rm -rf "$work"' EXIT
input=$work/in
output=$work/out

# Incompressible content, so no layer below can shortcut it.
head -c "$(numfmt --from=iec "$size")" /dev/urandom >"$input"
bytes=$(stat -c %s "$input")

# Nanoseconds taken by the command given; its output goes nowhere.
elapsed() {
  local start end
  start=$(date +%s%N)
  "$@" </dev/null >/dev/null 2>&1
  end=$(date +%s%N)
  echo $((end - start))
}
run_cat() { cat "$input" >"$output"; }
run_dd() { dd if="$input" of="$output" bs=1M; }
run_dd_sync() { dd if="$input" of="$output" bs=1M conv=fdatasync; }
declare -A builds=([vorlune]=$vorlune)
commands=(cat dd dd_sync vorlune)
for pair in ${ALSO:-}; do
  builds[${pair%%=*}]=${pair#*=}
  commands+=("${pair%%=*}")
done
for name in "${!builds[@]}"; do
  builds[$name+]=${builds[$name]}
  commands+=("$name+")
done
run_build() { "${builds[$1]}" "$input"; }
clean() {
  rm -f "$output" "$input.xyz"
  sync -f "$work"  # earlier output's writeback must not land on the next run
}

# The result must be right before its speed matters: mask it back by an
# independent route and compare.
run_build vorlune </dev/null >/dev/null
table=$(printf '\\%03o' $(seq 0 255))
masked=$(for ((b = 0; b < 256; ++b)); do printf '\\%03o' $((b ^ 0x6B)); done)
if ! tr "$table" "$masked" <"$input.xyz" | cmp -s - "$input"; then
  echo "vorlune output is not the masked input" >&2
  exit 1
fi
clean
run_cat; clean  # warm the page cache and the binaries

# The order rotates every round: on this kind of virtual machine a run's cost
# depends on what ran just before it (freed memory handed back to the host),
# so a fixed order would favour one command.
declare -A times
for ((r = 0; r < rounds; ++r)); do
  for ((k = 0; k < ${#commands[@]}; ++k)); do
    name=${commands[$(((k + r) % ${#commands[@]}))]}
    if [[ $name == *+ ]]; then
      # Replaces an output that exists (a few bytes, on the disk already),
      # so the run flushes before the rename.
      echo old >"$input.xyz"
      sync -f "$work"
    fi
    if [[ -n ${builds[$name]:-} ]]; then
      times[$name]+=" $(elapsed run_build "$name")"
    else
      times[$name]+=" $(elapsed "run_$name")"
    fi
    clean
  done
done

# Each takes one command's times, separated by spaces.
median() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
m_cat=$(median "${times[cat]}")
m_dd=$(median "${times[dd]}")
m_dd_sync=$(median "${times[dd_sync]}")

fastest() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -n | head -1; }
echo "file: $bytes bytes in $folder ($(df --output=fstype "$work" | tail -1)), $rounds rounds each, order rotating"
for name in "${commands[@]}"; do
  awk -v name="$name" -v m="$(median "${times[$name]}")" -v f="$(fastest "${times[$name]}")" -v n="$bytes" 'BEGIN {
    printf "  %-8s median %8.1f ms  (fastest %8.1f ms)  %6.2f GB/s\n", name, m / 1e6, f / 1e6, n / m
  }'
done
echo "ratios of medians: dd/cat $(awk -v c="$m_cat" -v d="$m_dd" 'BEGIN {printf "%.3f", d / c}')," \
  "dd_sync/dd $(awk -v d="$m_dd" -v s="$m_dd_sync" 'BEGIN {printf "%.3f", s / d}')"
for name in "${commands[@]}"; do
  [[ -n ${builds[$name]:-} ]] || continue
  awk -v name="$name" -v c="$m_cat" -v d="$m_dd" -v s="$m_dd_sync" -v v="$(median "${times[$name]}")" 'BEGIN {
    printf "  %-8s /cat %.3f   /dd %.3f   /dd_sync %.3f\n", name, v / c, v / d, v / s
  }'
done

if [[ $rss_size != 0 ]]; then
  rm -f "$input"
  truncate -s "$rss_size" "$input"
  peak=$(/usr/bin/time -v "$vorlune" "$input" </dev/null 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ {print $2}')
  rss_bytes=$(stat -c %s "$input.xyz")
  clean
  echo "peak resident memory on a sparse $rss_size file: $peak KiB (output $rss_bytes bytes)"
fi
