# Debian 12 packages the project needs; sourced by scripts/run and scripts/test.

# To build the program and run it.
SABREVIN_BUILD_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev libc-ares-dev linux-libc-dev
                         fonts-dejavu-core libcap2-bin)
# To run the tests: a DNS server, namespaces and routing, the system's own tools as
# reference peers, capabilities, and clang-format.
SABREVIN_TEST_PACKAGES=(dnsmasq-base iproute2 iptables nftables traceroute
                        iputils-ping procps util-linux binutils clang-format desktop-file-utils
                        dpkg-dev file lintian appstream)
# To make and check the Debian package (scripts/package): CPack's dependency scan
# (dpkg-shlibdeps, file), lintian and the AppStream validator.
SABREVIN_PACKAGE_PACKAGES=(dpkg-dev file lintian appstream)

# Prints the packages of "$@" that are not installed, one line, space separated.
sabrevin_missing_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null | grep -qx installed; then
            missing+=("$pkg")
        fi
    done
    echo "${missing[*]}"
}

# Installs what is missing of "$@" when root; otherwise names it and the command, and fails.
sabrevin_ensure_packages() {
    local missing
    missing=$(sabrevin_missing_packages "$@")
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages: $missing" >&2
        echo "Install them with: sudo apt-get install -y $missing" >&2
        return 1
    fi
    echo "Installing: $missing"
    apt-get update -qq >/dev/null
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

# To make the README's screenshots: a virtual X server and the tools that find and grab a window.
SABREVIN_SHOT_PACKAGES=(xvfb xauth x11-utils imagemagick)

# Lets the echo helper in dir open its one raw ICMP socket for a normal user (root only; says
# so when it cannot).
sabrevin_grant_helper() {
    local helper="$1/sabrevin-icmp-helper"
    [ -x "$helper" ] || return 0
    [ "$(id -u)" -eq 0 ] || return 0
    if getcap "$helper" 2>/dev/null | grep -q cap_net_raw; then
        return 0
    fi
    setcap cap_net_raw+ep "$helper" 2>/dev/null ||
        echo "Note: could not give $helper the cap_net_raw capability; Ping and Trace then need ping sockets (see README)." >&2
}
