# Sourced by scripts/install-deps and scripts/wine/install: installs Debian packages with apt-get
# as root (or through sudo), adding the i386 architecture first when a package needs it.
# shellcheck shell=bash

# as_root COMMAND...: runs it as root, through sudo when this is not root.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# apt_install WHO PACKAGE...: nothing when no PACKAGE is given; otherwise says "WHO: installing
# ..." and installs them quietly, without recommended packages, from the release
# APT_TARGET_RELEASE names when it is set (a backports suite). Exits 1 without root or sudo.
apt_install() {
    local who=$1 sudo=() target=()
    shift
    [ $# -gt 0 ] || return 0
    echo "$who: installing $*"
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            echo "$who: need root (or sudo) to install: $*" >&2
            exit 1
        fi
        sudo=(sudo)
    fi
    [ -z "${APT_TARGET_RELEASE:-}" ] || target=(-t "$APT_TARGET_RELEASE")
    export DEBIAN_FRONTEND=noninteractive
    # A package of the i386 architecture (wine32:i386): dpkg learns the architecture once.
    if [[ " $* " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo[@]}" dpkg --add-architecture i386
    fi
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${target[@]}" "$@" >/dev/null
}
