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
RUN_PACKAGES=(wine wine64 xvfb xauth imagemagick x11-apps locales)

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
# wineserver. Sets WINEPREFIX and DISPLAY; wine_env_stop undoes it. WINE_ENV_DISPLAY names
# an X server that is already there (the 32-bit run's); WINE_ENV_VERSION a Windows version
# for winecfg -v (winxp64, win10...) instead of Wine's default.
wine_env_start() {
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    export WINEPREFIX
    WINEPREFIX=$(mktemp -d /tmp/wayfarer-prefix.XXXXXX)
    XVFB_PID=
    if [ -n "${WINE_ENV_DISPLAY:-}" ]; then
        export DISPLAY=$WINE_ENV_DISPLAY
    else
        local n=$(( (RANDOM % 400) + 100 ))
        while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
        Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
        XVFB_PID=$!
        export DISPLAY=":$n"
    fi
    wineserver -p >/dev/null 2>&1
    wineboot -i >/dev/null 2>&1 || true
    wine_profile_real || return 1
    if [ -n "${WINE_ENV_VERSION:-}" ]; then
        local want
        case $WINE_ENV_VERSION in
            winxp) want=5.1 ;; winxp64|win2003) want=5.2 ;; vista) want=6.0 ;; win7) want=6.1 ;;
            win8) want=6.2 ;; win81) want=6.3 ;; win10) want=10.0 ;; *) want=? ;;
        esac
        wine winecfg -v "$WINE_ENV_VERSION" >/dev/null 2>&1
        # What programs are told, as "major.minor.build".
        WINE_ENV_WINVER=$(wine cmd /c ver 2>/dev/null | tr -d '\r' | grep -Eo '[0-9]+\.[0-9]+\.[0-9]+' | head -1)
        case $WINE_ENV_WINVER in
            "$want".*) ;;
            *) echo "wine_env_start: winecfg -v $WINE_ENV_VERSION gave Windows ${WINE_ENV_WINVER:-(none)}" >&2; return 1 ;;
        esac
    fi
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
    # wineserver64 or wineserver32 (pgrep matches names of at most 15 characters).
    for pid in $(pgrep '^wineserver' || true); do
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

# ---------------------------------------------------------------------------------------
# A 32-bit Wine on a machine that cannot run 32-bit code: a Debian i386 root file system
# with wine32 in it, run under the qemu-i386 user-mode emulator inside a user, mount and pid
# namespace that has its own binfmt_misc. The host's dpkg architectures and binfmt settings
# stay as they are. Made once in a cache folder and reused; rebuilt when incomplete.

I386_CACHE=${WAYFARER_I386_CACHE:-/var/cache/wayfarer}
[ -w "$(dirname "$I386_CACHE")" ] || [ -w "$I386_CACHE" ] || I386_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/wayfarer
I386_ROOT=$I386_CACHE/i386-root
I386_QEMU_SUITE=trixie
I386_QEMU=$I386_CACHE/i386-work/qemu-$I386_QEMU_SUITE/qemu-i386
# What the root holds besides the base system; a change here rebuilds it.
I386_PACKAGES="wine wine32 fonts-wine libxrender1 libxcursor1 libxi6 libxrandr2 libxinerama1
    libxcomposite1 libxfixes3 libxxf86vm1 procps cmake"
I386_STAMP=$I386_ROOT/.wayfarer-ready

# Prints why this machine cannot run the 32-bit Wine and returns 0, or prints nothing and
# returns 1 when it can.
i386_wine_unavailable() {
    if [ "$(uname -m)" != x86_64 ]; then echo "not an x86-64 machine"; return 0; fi
    if ! unshare --user --map-root-user true 2>/dev/null; then
        echo "no user namespaces"; return 0
    fi
    if ! unshare --user --map-root-user --mount --propagation private \
        sh -c 'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc' 2>/dev/null; then
        echo "no binfmt_misc of a user namespace's own (kernel 6.7 or later)"; return 0
    fi
    return 1
}

# Runs "$@" in a new user, mount and pid namespace (uids and gids 0..65535 mapped to
# themselves, so that the root's own users work) whose binfmt_misc hands i386 ELF files to
# the emulator. Everything started inside ends with it.
_i386_ns() {
    local sync rc=0 child p=""
    sync=$(mktemp -d /tmp/wayfarer-ns.XXXXXX)
    unshare --user --mount --pid --fork --propagation private /bin/bash -c '
        while [ ! -e "$0/mapped" ]; do sleep 0.05; done
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
        printf "%s" ":qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$1:FOC" \
            >/proc/sys/fs/binfmt_misc/register
        shift; exec "$@"' "$sync" "$I386_QEMU" "$@" &
    child=$!
    # unshare --fork: the namespace's first process is the child of the unshare process.
    for _ in $(seq 200); do
        p=$(pgrep -P "$child" | head -1 || true); [ -n "$p" ] && break; sleep 0.05
    done
    if [ -z "$p" ] || ! echo "0 0 65536" >"/proc/$p/uid_map" || ! echo "0 0 65536" >"/proc/$p/gid_map"; then
        echo "i386-wine: the namespace's users could not be mapped" >&2
        kill "$child" 2>/dev/null; wait "$child" 2>/dev/null; rm -rf "$sync"; return 1
    fi
    touch "$sync/mapped"
    wait "$child" || rc=$?
    rm -rf "$sync"
    return $rc
}

# Inside the namespace: mounts /proc and the given folders (at their own paths) into the
# root, starts an X server when I386_DISPLAY=1 (the host's Xvfb: its socket is bound in)
# and runs the shell command $1 in the root.
_i386_enter() {
    local cmd=$1 r=$I386_ROOT d n xvfb="" rc=0; shift
    mount -t proc proc "$r/proc"
    mkdir -p /tmp/.X11-unix "$r/tmp/.X11-unix"
    mount --bind /tmp/.X11-unix "$r/tmp/.X11-unix"
    for d in "$@"; do
        mkdir -p "$r$d" && mount --bind "$d" "$r$d"
    done
    # The host's own 64-bit wineserver serves the emulated programs, as it serves 32-bit
    # programs in any 64-bit Wine: run under the emulator, the server could not read or
    # write their memory (qemu-user has no ptrace), so that no program could look into
    # another one (ReadProcessMemory, module snapshots). WINEARCH=win32 keeps the prefixes
    # it makes 32-bit ones.
    if [ -x /usr/lib/wine/wineserver64 ] && [ "$(wine --version 2>/dev/null)" = "$(chroot "$r" /usr/bin/wine --version 2>/dev/null)" ]; then
        mkdir -p "$r/usr/lib/x86_64-linux-gnu" "$r/lib64"
        [ -e "$r/usr/lib/wine/wineserver64" ] || touch "$r/usr/lib/wine/wineserver64"
        mount --bind /usr/lib/x86_64-linux-gnu "$r/usr/lib/x86_64-linux-gnu"
        mount --bind /lib64 "$r/lib64"
        mount --bind /usr/lib/wine/wineserver64 "$r/usr/lib/wine/wineserver64"
    fi
    if [ "${I386_DISPLAY:-0}" = 1 ]; then
        n=$(( (RANDOM % 400) + 500 ))
        while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
        Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
        xvfb=$!
        for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.05; done
        export WINE_ENV_DISPLAY=":$n"
    fi
    chroot "$r" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" LANG=C.UTF-8 \
        PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin WINE_ENV_DISPLAY="${WINE_ENV_DISPLAY:-}" WINEARCH=win32 \
        /bin/bash -c "$cmd" || rc=$?
    [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
    return $rc
}

# i386_wine_run 'COMMAND' [FOLDER...]: runs a shell command in the root with the folders
# bound in at their own paths. I386_DISPLAY=1 gives it an X display (WINE_ENV_DISPLAY),
# which wine_env_start then uses.
i386_wine_run() {
    _i386_ns /bin/bash -c 'source "$0"; _i386_enter "$@"' "$ROOT/scripts/lib.sh" "$@"
}

# Makes the root and the emulator when they are missing or incomplete.
i386_wine_setup() {
    local work=$I386_CACHE/i386-work mirror
    mkdir -p "$work"
    mirror=$( { grep -rshoE '^(URIs:|deb)[[:space:]]+[^ ]+/debian/?([[:space:]]|$)' /etc/apt/sources.list \
        /etc/apt/sources.list.d 2>/dev/null || true; } | awk 'NR == 1 {print $2}')
    mirror=${mirror:-http://deb.debian.org/debian}
    if [ ! -x "$I386_QEMU" ]; then
        # The emulator of Debian's current stable suite, fetched with a private apt
        # configuration and unpacked, not installed. Bookworm's own qemu-user-static (7.2)
        # runs Wine too, but far too slowly: it had not made a new prefix after 14 minutes,
        # where 10.0 takes about half a minute.
        echo "   fetching qemu-user from $I386_QEMU_SUITE (unpacked, not installed)"
        local a=$work/apt
        rm -rf "$a" "$(dirname "$I386_QEMU")"
        mkdir -p "$a/lists/partial" "$a/cache/archives/partial" "$(dirname "$I386_QEMU")"
        echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $I386_QEMU_SUITE main" >"$a/sources.list"
        local o=(-o "Dir::Etc::sourcelist=$a/sources.list" -o Dir::Etc::sourceparts=/dev/null
            -o "Dir::State::Lists=$a/lists" -o "Dir::Cache=$a/cache" -o Acquire::Check-Valid-Until=false)
        if apt-get "${o[@]}" update -qq && (cd "$a" && apt-get "${o[@]}" download -qq "qemu-user/$I386_QEMU_SUITE" 2>/dev/null); then
            dpkg-deb -x "$a"/qemu-user_*.deb "$a/x" && mv "$a/x/usr/bin/qemu-i386" "$I386_QEMU"
        fi
        rm -rf "$a"
        [ -x "$I386_QEMU" ] || { echo "i386-wine: qemu-i386 could not be fetched from $I386_QEMU_SUITE" >&2; return 1; }
    fi
    if [ ! -f "$I386_STAMP" ] || [ "$(cat "$I386_STAMP")" != "$(echo $I386_PACKAGES)" ]; then
        _i386_make_root "$mirror" || return 1
    fi
    # The emulator's faults as a processor reports them (i386-wine-trapfix.c), for the
    # i386 programs; the x86-64 wineserver that _i386_enter lends the root gets an empty
    # library of the same name ($LIB picks the one of each program's kind).
    local lib=$I386_ROOT/usr/local/lib src=$ROOT/scripts/i386-wine-trapfix.c
    if [ ! -f "$lib/i386-linux-gnu/wayfarer-trapfix.so" ] || [ "$src" -nt "$lib/i386-linux-gnu/wayfarer-trapfix.so" ]; then
        mkdir -p "$lib/i386-linux-gnu" "$lib/x86_64-linux-gnu"
        gcc -m32 -O2 -fPIC -ffreestanding -nostdlib -shared -Wall -Wextra -Werror -o "$lib/fix.new" "$src" &&
            gcc -O2 -fPIC -nostdlib -shared -o "$lib/x86_64-linux-gnu/wayfarer-trapfix.so" -x c /dev/null &&
            mv "$lib/fix.new" "$lib/i386-linux-gnu/wayfarer-trapfix.so" ||
            { echo "i386-wine: the trap fix could not be built" >&2; return 1; }
    fi
    echo '/usr/local/$LIB/wayfarer-trapfix.so' >"$I386_ROOT/etc/ld.so.preload"
}

_i386_make_root() {
    local mirror=$1
    install_packages debootstrap
    echo "   making the i386 root file system in $I386_ROOT (about 6 minutes)"
    rm -rf "$I386_ROOT"
    debootstrap --foreign --arch=i386 --variant=minbase bookworm "$I386_ROOT" "$mirror" >/dev/null ||
        { echo "i386-wine: debootstrap failed" >&2; return 1; }
    _i386_ns env container=lxc chroot "$I386_ROOT" /debootstrap/debootstrap --second-stage >/dev/null ||
        { echo "i386-wine: debootstrap's second stage failed ($I386_ROOT/debootstrap/debootstrap.log)" >&2; return 1; }
    cp /etc/resolv.conf "$I386_ROOT/etc/resolv.conf" 2>/dev/null || true
    printf 'Acquire::Check-Valid-Until "false";\n' >"$I386_ROOT/etc/apt/apt.conf.d/99no-valid-until"
    printf '#!/bin/sh\nexit 101\n' >"$I386_ROOT/usr/sbin/policy-rc.d"; chmod +x "$I386_ROOT/usr/sbin/policy-rc.d"
    i386_wine_run "export DEBIAN_FRONTEND=noninteractive; apt-get update -qq &&
        apt-get install -y -qq --no-install-recommends $(echo $I386_PACKAGES) >/dev/null && apt-get clean" ||
        { echo "i386-wine: installing wine32 in the root failed" >&2; return 1; }
    echo $I386_PACKAGES >"$I386_STAMP"
}
