# Shared by scripts/test and scripts/demo. Sourced, not run.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo

# Installs the Debian packages that are missing. Never wine32 or the i386 architecture:
# this kernel cannot run 32-bit code, and either would break the wine command.
install_packages() {
    local missing=()
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing: ${missing[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

BUILD_PACKAGES=(cmake ninja-build g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
    binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 lzma-dev googletest g++ clang xz-utils)
RUN_PACKAGES=(wine wine64 xvfb xauth imagemagick x11-apps)

# Checks that each program imports only system DLLs (the runtime is linked statically, so
# nothing else may have to lie beside it on a stick). Names every other DLL; status 1 then.
check_system_imports() { # program...
    local exe d bad=0
    for exe in "$@"; do
        for d in $(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print tolower($3)}' | sort -u); do
            case "$d" in
                kernel32.dll|user32.dll|gdi32.dll|advapi32.dll|shell32.dll|comctl32.dll|ole32.dll|oleaut32.dll|\
                urlmon.dll|version.dll|shlwapi.dll|msvcrt.dll|comdlg32.dll|api-ms-win-*) ;;
                *) echo "   $exe imports $d"; bad=1 ;;
            esac
        done
    done
    return $bad
}

configure_build() { # dir toolchain-or-empty testing(ON/OFF) [extra args]
    local dir=$1 tc=$2 testing=$3; shift 3
    local args=(-G Ninja -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING="$testing")
    [ -n "$tc" ] && args+=(-DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$tc")
    cmake "${args[@]}" "$@" >/dev/null
}

# Starts a private Wine environment: a fresh prefix, an X server and a persistent
# wineserver. Sets WINEPREFIX and DISPLAY; wine_env_stop undoes it.
wine_env_start() {
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    export WINEPREFIX
    WINEPREFIX=$(mktemp -d /tmp/wayfarer-prefix.XXXXXX)
    local n=$(( (RANDOM % 400) + 100 ))
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
    XVFB_PID=$!
    export DISPLAY=":$n"
    wineserver -p >/dev/null 2>&1
    wineboot -i >/dev/null 2>&1 || true
    wine_profile_real || return 1
    # A crash must fail a test, not hang it behind a dialog.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    # Xvfb has no window manager: unmanaged windows spare Wine a two-second wait for one
    # each time a window is shown.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    # A server that has just built the prefix keeps the service database locked (the task
    # scheduler then never starts): begin the run with a fresh one.
    wine_server_restart
}

# A new prefix links the user's Documents, Desktop, Pictures... to the home folder of this
# machine. A program under test that deletes in one of them would delete real files here:
# each link becomes an empty folder of the prefix's own. Wine leaves real folders alone.
wine_profile_real() {
    local link
    while IFS= read -r -d '' link; do
        rm -f "$link" && mkdir -p "$link"
    done < <(find "$WINEPREFIX/drive_c/users" -type l -print0 2>/dev/null)
    if [ -n "$(find "$WINEPREFIX/drive_c/users" -type l 2>/dev/null)" ]; then
        echo "wine_env_start: links left in the prefix's profile folders" >&2
        return 1
    fi
}

# Restarts the prefix's wineserver, e.g. to apply a changed drive setting.
wine_server_restart() {
    local pid server=""
    for pid in $(pgrep -x 'wineserver64|wineserver' || true); do
        ls -l "/proc/$pid/fd" 2>/dev/null | grep -q -- "-> $WINEPREFIX\$" && server=$pid
    done
    wineserver -k >/dev/null 2>&1 || true
    if [ -n "$server" ]; then
        for _ in $(seq 200); do [ -e "/proc/$server" ] || break; sleep 0.05; done
    fi
    wineserver -p >/dev/null 2>&1
    # The first program starts the prefix's services, which keep the output handles they
    # inherit: let them inherit nothing that a caller waits on.
    wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

wine_env_stop() {
    [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1 || true
    [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null || true
    case "${WINEPREFIX:-}" in /tmp/wayfarer-prefix.*) rm -rf "$WINEPREFIX" ;; esac
}
