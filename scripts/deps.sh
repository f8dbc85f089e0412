# Sourced by the scripts: installs the Debian packages named in its
# arguments that are missing (apt-get, through sudo when not root).
install_missing() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    echo "installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Installs Debian packages of the armel architecture (qualified, such as
# musl-dev:armel) that are missing, adding the architecture first.
ensure_armel() {
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    if ! dpkg --print-foreign-architectures | grep -qx armel; then
        "${sudo[@]}" dpkg --add-architecture armel
        "${sudo[@]}" apt-get update -qq
    fi
    install_missing "$@"
}
