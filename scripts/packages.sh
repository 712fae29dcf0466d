# Sourced by the set-up scripts: need PACKAGE... installs the Debian packages
# that are missing (as root, quietly), and says which it could not install.
need() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=
    if [ "$(id -u)" != 0 ]; then
        if command -v sudo > /dev/null; then sudo=sudo
        else echo "missing packages (run as root to install): ${missing[*]}" >&2; return 1; fi
    fi
    echo "installing: ${missing[*]}" >&2
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq > /dev/null &&
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" > /dev/null
}
