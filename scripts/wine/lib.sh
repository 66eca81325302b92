# Shell functions for running the Windows build under Wine in a private prefix: build the Windows
# programs, make the prefix, keep its server up, install the simulated adapter's kernel driver,
# set the Windows version Wine gives a program, run Windows programs, and end every Wine
# process of the prefix whatever happens. Source it from bash:
#   . scripts/wine/lib.sh; wine_make_prefix DIR; trap wine_end_prefix EXIT
# Debian's wine64 package keeps its launcher and server in its library directory, off PATH. The
# server is called directly: the package's `wineserver` wrapper puts -p0 before the arguments.

WINE_LAUNCHER=${WINE_LAUNCHER:-/usr/lib/wine/wine64}
WINE_SERVER=${WINE_SERVER:-/usr/lib/wine/wineserver64}

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
# display: with the null graphics driver, windows, timers and messages work without one.
wine_make_prefix() {
    local dir=$1
    [ -x "$WINE_LAUNCHER" ] || {
        echo "wine: $WINE_LAUNCHER is missing: run scripts/wine/install" >&2
        return 1
    }
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
