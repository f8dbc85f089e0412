# Sourced by the scripts: installs the Debian packages they need and fetches
# foreign-architecture packages (apt-get, through sudo when not root).

# Runs a command as root: through sudo when not root.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the Debian packages named in its arguments that are missing.
install_missing() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    as_root apt-get update -qq
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Adds the foreign architecture ARCH (such as armel) to dpkg when it is not
# there yet, and updates the package index after adding it. With PACKAGE
# (qualified, such as busybox-static:armel), also updates it when apt does not
# know that package: the architecture may have been added without an update.
#   add_architecture ARCH [PACKAGE]
add_architecture() {
    if ! dpkg --print-foreign-architectures | grep -qx "$1"; then
        as_root dpkg --add-architecture "$1" && as_root apt-get update -qq
    elif [ $# -gt 1 ] && ! apt-cache show "$2" >/dev/null 2>&1; then
        as_root apt-get update -qq
    fi
}

# Installs Debian packages of the armel architecture (qualified, such as
# musl-dev:armel) that are missing, adding the architecture first.
ensure_armel() {
    add_architecture armel
    install_missing "$@"
}

# Downloads the Debian package PACKAGE (qualified, such as
# busybox-static:armel) into DIR, emptied first, and unpacks it into
# DIR/root. It is never installed: a foreign package installed would put its
# programs on this machine.
#   unpack_deb PACKAGE DIR
unpack_deb() {
    rm -rf "$2" && mkdir -p "$2" || return 1
    # apt-get writes the package into the current directory.
    (cd "$2" && apt-get download -qq "$1") || return 1
    dpkg-deb -x "$2"/*.deb "$2/root"
}
