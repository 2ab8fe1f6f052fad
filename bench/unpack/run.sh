#!/usr/bin/env bash
# The unpack benchmark in one run: generates a ~64 MB program tree, packs it with wfpack,
# runs the measuring program under Wine (RunSfx against the bare decoder, memory, CRC-32)
# and times a native decode of the same raw LZMA streams by xz for reference.
# Usage: bench/unpack/run.sh [WORK-FOLDER]   (BUILD_DIR as in scripts/test)
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib.sh"
cd "$ROOT"

B=${BUILD_DIR:-$ROOT/build}
configure_build "$B/host" "" ON
cmake --build "$B/host" --target wfpack bench_make_tree >/dev/null
configure_build "$B/x64" mingw-x86_64.cmake ON
cmake --build "$B/x64" --target unpack_bench >/dev/null

W=${1:-$(mktemp -d /tmp/wayfarer-bench.XXXXXX)}
mkdir -p "$W"
W=$(cd "$W" && pwd)
rm -rf "$W/tree" "$W/work" "$W/raw"
mkdir -p "$W/work" "$W/raw"
echo "== program tree"
"$B/host/bench/bench_make_tree" "$W/tree/prog" "$W/tree/langs"
echo "== package (wfpack, default level and dictionary)"
"$B/host/tools/wfpack" build "$W/AiTessaly-Portable.bin" --block tessaly="$W/tree/prog" --block langs="$W/tree/langs"

started_env=0
if [ -z "${WINEPREFIX:-}" ] || [ -z "${DISPLAY:-}" ]; then
    trap wine_env_stop EXIT
    wine_env_start
    started_env=1
fi
win() { echo "Z:${1//\//\\}"; }

echo "== under Wine: $(wine --version)"
"$ROOT/tests/wine-run" "$B/x64/bench/unpack_bench.exe" "$(win "$W/AiTessaly-Portable.bin")" "$(win "$W/work")" \
    "$(win "$W/raw")" | tr -d '\r' | tee "$W/bench.txt"

t1=$(grep -Eo 't1=[0-9.]+' "$W/bench.txt" | cut -d= -f2)
echo "== native reference: xz --format=raw (native Linux, not Wine; $(xz --version | head -1))"
t3=0
while read -r _ block args; do
    best=
    for _i in 1 2 3; do
        s=$(date +%s.%N)
        xz --format=raw --lzma1="$args" -dc "$W/raw/$block.lzma" >/dev/null
        e=$(date +%s.%N)
        best=$(awk -v s="$s" -v e="$e" -v b="$best" 'BEGIN { d = e - s; print (b == "" || d < b) ? d : b }')
    done
    printf '   %s: xz --format=raw --lzma1=%s -d: %.3f s (best of 3)\n' "$block" "$args" "$best"
    t3=$(awk -v a="$t3" -v b="$best" 'BEGIN { print a + b }')
done < <(grep '^RAW ' "$W/bench.txt")
printf '3 native xz decode of the same raw streams: %.3f s\n' "$t3"
printf 'ratio 1/3: %.3f (RunSfx under Wine against native xz)\n' "$(awk -v a="$t1" -v b="$t3" 'BEGIN { print a / b }')"
[ $started_env -eq 1 ] && wine_env_stop && trap - EXIT
[ -n "${1:-}" ] || rm -rf "$W"
