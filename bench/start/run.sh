#!/usr/bin/env bash
# The start benchmark in one run: the ~64 MB program tree of the unpack benchmark, with the
# tray stand-in added (it publishes its watcher window at once), packed with wfpack; then,
# under one Wine, a full silent start of wfstart from a simulated removable drive against
# RunSfx alone unpacking the same package, alternately.
# Usage: bench/start/run.sh [RUNS]   (BUILD_DIR as in scripts/test)
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib.sh"
cd "$ROOT"

B=${BUILD_DIR:-$ROOT/build}
configure_build "$B/host" "" ON
cmake --build "$B/host" --target wfpack bench_make_tree >/dev/null
configure_build "$B/x64" mingw-x86_64.cmake ON
cmake --build "$B/x64" --target bench_start wfstart TessTaskBarIcon >/dev/null

W=$(mktemp -d /tmp/wayfarer-bench-start.XXXXXX)
echo "== program tree and package"
"$B/host/bench/bench_make_tree" "$W/tree/prog" "$W/tree/langs"
cp "$B/x64/standins/TessTaskBarIcon.exe" "$W/tree/prog/"
"$B/host/tools/wfpack" build "$W/AiTessaly-Portable.bin" --block tessaly="$W/tree/prog" --block langs="$W/tree/langs"

started_env=0
if [ -z "${WINEPREFIX:-}" ] || [ -z "${DISPLAY:-}" ]; then
    trap wine_env_stop EXIT
    wine_env_start
    started_env=1
fi
echo "== under Wine: $(wine --version)"
"$ROOT/tests/wine-run" "$B/x64/bench/start/bench_start.exe" "Z:${W//\//\\}\\AiTessaly-Portable.bin" "${1:-5}" | tr -d '\r'
[ $started_env -eq 1 ] && wine_env_stop && trap - EXIT
rm -rf "$W"
