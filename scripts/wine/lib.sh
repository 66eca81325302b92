# Shell functions for running the Windows build under Wine in a private prefix: build the Windows
# programs, make the prefix, keep its server up, install the simulated adapter's kernel driver,
# set the Windows version Wine gives a program, run Windows programs, and end every Wine
# process of the prefix whatever happens. Source it from bash:
#   . scripts/wine/lib.sh; wine_make_prefix DIR; trap wine_end_prefix EXIT
# Debian's wine64 package keeps its launcher and server in its library directory, off PATH. The
# server is called directly: the package's `wineserver` wrapper puts -p0 before the arguments.

WINE_LAUNCHER=${WINE_LAUNCHER:-/usr/lib/wine/wine64}
WINE_SERVER=${WINE_SERVER:-/usr/lib/wine/wineserver64}

# Wine's i386 loader, a 32-bit Linux program that every 32-bit Windows program runs in.
WINE_I386_LOADER=/usr/lib/wine/wine
# Where the kernel refuses 32-bit Linux programs, they run under this emulator, from this version
# on: older ones ignore MAP_FIXED_NOREPLACE, so Wine reserves its address space in 64 KiB steps
# and every program takes minutes (scripts/wine/install installs it from backports).
WINE_QEMU=/usr/bin/qemu-i386
WINE_QEMU_MIN_VERSION=10
# The binfmt_misc rule that hands i386 ELF executables to the emulator. Flag F opens the emulator
# when the rule is registered, so it runs whatever the program's mount namespace holds.
WINE_I386_RULE=':korvo-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'$WINE_QEMU:F

# True when the kernel runs Wine's i386 loader as it is.
wine_i386_native() {
    [ -x "$WINE_I386_LOADER" ] && "$WINE_I386_LOADER" --version >/dev/null 2>&1
}

# True when the emulator is installed, in a version that runs Wine at a usable speed.
wine_qemu_usable() {
    local version
    version=$("$WINE_QEMU" --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9]*\)\..*/\1/p')
    [ -n "$version" ] && [ "$version" -ge "$WINE_QEMU_MIN_VERSION" ]
}

# Makes the rest of the calling script able to run 32-bit Windows programs, and says how: at once
# where the kernel runs Wine's i386 loader; otherwise by running the script again (SCRIPT ARGS...)
# in a user and mount namespace of its own, whose own binfmt_misc (Linux 6.7 and later give one
# to each user namespace) hands i386 executables to qemu-i386. Inside, the i386 loader and every
# 32-bit Windows process run emulated, the Wine server, 64-bit processes and Linux tools
# natively; the machine outside sees no change. Root outside maps every user and group id to
# itself, so files, processes and the Wine server are the same inside as outside. Exits with a
# message saying why where neither way is possible. KORVO_WINE_I386 (native or emulated) tells
# the script and its children which way is in use.
wine_i386_enter() {  # SCRIPT ARGS...
    case ${KORVO_WINE_I386:-} in
        native) return 0 ;;
        emulated)
            wine_i386_native && return 0
            echo "wine: the namespace for the emulated 32-bit programs does not run $WINE_I386_LOADER" >&2
            exit 1
            ;;
    esac
    if wine_i386_native; then
        export KORVO_WINE_I386=native
        echo "wine: 32-bit Windows programs run natively (this kernel runs 32-bit Linux programs)"
        return 0
    fi
    local why="this kernel does not run 32-bit Linux programs ($WINE_I386_LOADER: Exec format error)"
    [ -x "$WINE_I386_LOADER" ] || why="$WINE_I386_LOADER is missing (scripts/wine/install installs it)"
    if [ -x "$WINE_I386_LOADER" ] && ! wine_qemu_usable; then
        why="$why, and $WINE_QEMU $WINE_QEMU_MIN_VERSION or later, which would run them, is not installed (scripts/wine/install installs it)"
    elif [ -x "$WINE_I386_LOADER" ] && [ "$(id -u)" -ne 0 ]; then
        why="$why, and only root can give the emulator's namespace every user id"
    elif [ -x "$WINE_I386_LOADER" ] && ! command -v unshare >/dev/null 2>&1; then
        why="$why, and unshare (util-linux), which would make the emulator's namespace, is missing"
    elif [ -x "$WINE_I386_LOADER" ]; then
        echo "wine: $why: 32-bit Windows programs run under $("$WINE_QEMU" --version | head -n 1)," \
            "registered for i386 executables in this run's own user namespace"
        export KORVO_WINE_I386=emulated
        # Once unshare has made the namespace, this shell's process is in it: map the ids from
        # here, outside, which only a process holding them can do.
        (
            ours=$(readlink /proc/self/ns/user)
            for _ in $(seq 1 200); do
                if [ "$(readlink "/proc/$$/ns/user" 2>/dev/null)" != "$ours" ]; then
                    echo "0 0 4294967295" >"/proc/$$/uid_map" &&
                        echo "0 0 4294967295" >"/proc/$$/gid_map"
                    exit
                fi
                sleep 0.05
            done
        ) &
        # shellcheck disable=SC2016  # the inner script expands its own arguments
        exec unshare --user --mount -- bash -c '
            for _ in $(seq 1 200); do
                grep -q . /proc/self/uid_map && break
                sleep 0.05
            done
            grep -q . /proc/self/uid_map ||
                { echo "wine: the user namespace got no user ids" >&2; exit 1; }
            mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null &&
                echo "$0" >/proc/sys/fs/binfmt_misc/register || {
                echo "wine: this kernel gives a user namespace no binfmt_misc of its own" \
                    "(Linux 6.7 and later do), so the emulator cannot be registered" >&2
                exit 1
            }
            exec "$@"' "$WINE_I386_RULE" "$@"
    fi
    echo "wine: $why: the 32-bit Windows build cannot run here" >&2
    exit 1
}

# Quiet, no desktop integration, no .NET or browser engine offered at prefix creation.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEARCH=win64

# Builds TARGETS with the Windows preset PRESET (target: 32-bit, target-x64: 64-bit) into
# build/PRESET. Quiet unless it fails.
wine_build() {  # PRESET TARGET...
    local preset=$1 log
    shift
    log=$(mktemp)
    if cmake --preset "$preset" >"$log" 2>&1 && cmake --build --preset "$preset" -j2 \
        --target "$@" >>"$log" 2>&1; then
        rm -f "$log"
        return 0
    fi
    cat "$log" >&2
    rm -f "$log"
    echo "wine: building $* with the $preset preset failed" >&2
    return 1
}

wine_run() {
    "$WINE_LAUNCHER" "$@"
}

# Makes a fresh prefix in DIR/prefix with the server kept running until wine_end_prefix, and no
# display: with the null graphics driver, windows, timers and messages work without one. With
# TEMPLATE, the prefix is a copy of TEMPLATE/prefix, which the first call makes: making a prefix
# takes most of a minute where 32-bit programs run emulated, copying one a second.
wine_make_prefix() {  # DIR [TEMPLATE]
    local dir=$1 template=${2:-}
    [ -x "$WINE_LAUNCHER" ] || {
        echo "wine: $WINE_LAUNCHER is missing: run scripts/wine/install" >&2
        return 1
    }
    if [ -n "$template" ]; then
        if [ ! -d "$template/prefix" ]; then
            wine_make_prefix "$template" || return 1
            wine_end_prefix
        fi
        mkdir -p "$dir"
        rm -rf "$dir/prefix"
        cp -a "$template/prefix" "$dir/prefix" || return 1
        export WINEPREFIX="$dir/prefix"
        "$WINE_SERVER" -p
        return 0
    fi
    export WINEPREFIX="$dir/prefix"
    mkdir -p "$WINEPREFIX"
    # The server first and persistent: a driver lives in the prefix's device process, which ends
    # with the server, and a server started by a program lingers for seconds only.
    "$WINE_SERVER" -p
    wine_run wineboot --init >"$dir/wineboot.log" 2>&1 || {
        echo "wine: making the prefix failed; see $dir/wineboot.log" >&2
        return 1
    }
    wine_run reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null
    # The first start of a prefix can leave two service managers running, each answering half
    # of the service calls; a restart leaves the one that the next call starts.
    "$WINE_SERVER" -k
    "$WINE_SERVER" -w
    "$WINE_SERVER" -p
}

# Ends every process of the prefix and its server. Safe to call twice or without a prefix.
wine_end_prefix() {
    if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
        local serverDir=""
        # Debian's Wine names the server's directory under /tmp in this file of the prefix.
        [ -f "$WINEPREFIX/wineserver" ] && serverDir=/tmp/$(cat "$WINEPREFIX/wineserver")
        "$WINE_SERVER" -k 2>/dev/null || true
        "$WINE_SERVER" -w 2>/dev/null || true
        case $serverDir in
            /tmp/wine-?*) rm -rf "$serverDir" ;;
        esac
    fi
}

# The prefix's Windows directory as a Linux path.
wine_windows_dir() {
    echo "$WINEPREFIX/drive_c/windows"
}

# Makes Wine give programs whose file is named EXE the Windows version VERSION (win98, win95,
# winxp, ...), as an application default: every other program of the prefix keeps its own.
wine_set_version() {  # EXE VERSION
    wine_run reg add "HKCU\\Software\\Wine\\AppDefaults\\$1" /v Version /t REG_SZ /d "$2" /f \
        >/dev/null || {
        echo "wine: cannot set the Windows version of $1 to $2" >&2
        return 1
    }
}

# Installs DRIVER (a .sys file) as the kernel service korvodmi, started with the system as the
# adapter's driver is on Windows, and starts it. Right after the prefix is made, the service
# manager may still be finishing its first start and drop a `sc create` without a word, so the
# service is created until it exists.
wine_install_driver() {
    local driver=$1 attempt
    cp "$driver" "$(wine_windows_dir)/system32/drivers/korvodmi.sys"
    for attempt in $(seq 1 20); do
        wine_run sc query korvodmi >/dev/null 2>&1 && break
        wine_run sc create korvodmi binpath= 'C:\windows\system32\drivers\korvodmi.sys' \
            type= kernel start= auto >/dev/null 2>&1 || true
        sleep 0.5
    done
    wine_run sc query korvodmi >/dev/null 2>&1 || {
        echo "wine: the service manager did not take the korvodmi driver" >&2
        return 1
    }
    # A service manager still starting may start the new service by itself, being set to
    # start with the system: then `sc start` finds it running.
    wine_run sc start korvodmi >/dev/null 2>&1 ||
        wine_run sc query korvodmi 2>/dev/null | grep -q 'STATE.*RUNNING' || {
        echo "wine: the korvodmi driver did not start" >&2
        return 1
    }
}
