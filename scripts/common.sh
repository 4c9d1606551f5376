# Shared by scripts/run and scripts/test: package installation and the build.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Every Debian package the build and the program need.
# librsvg2-bin makes the PNG icons from the SVG; libssl-dev is the TLS check of https pings;
# qt6-tools-dev and qt6-l10n-tools build the translations (lupdate, lrelease), and
# qt6-translations-l10n holds Qt's own texts in the user's language.
BUILD_PACKAGES=(cmake ninja-build g++ qt6-base-dev qt6-svg-dev libqt6svg6 qt6-qpa-plugins
    libgl-dev libcurl4-openssl-dev libssl-dev libqt6sql6-sqlite qt6-charts-dev libqt6opengl6-dev
    librsvg2-bin qt6-tools-dev qt6-l10n-tools qt6-translations-l10n)
# What scripts/package needs besides: the Debian package tools and lintian.
PACKAGE_PACKAGES=(debhelper dpkg-dev lintian)
# What the tests need besides: the fuzzers, a headless desktop (X11, and sway with Qt's
# wayland platform for Wayland), a web and two mail servers (aiosmtpd, exim), Prometheus and
# node_exporter reading the metrics, the blackbox exporter beside /probe and certificates of
# the suite's own (python3-cryptography); the validators of the installed desktop entry, metainfo
# and systemd user unit; Apprise, which the notify URLs hand their other schemes to; the
# accessibility bus and its Python client (the window read over AT-SPI).
TEST_PACKAGES=(clang-14 libfuzzer-14-dev libclang-rt-14-dev
    xvfb xauth openbox trayer xfce4-panel xfconf dunst libnotify-bin xdotool wmctrl imagemagick
    x11-apps x11-utils x11-xserver-utils fonts-dejavu-core dbus-daemon dbus-bin sway qt6-wayland
    nginx python3 python3-aiosmtpd python3-cryptography curl ccache prometheus
    prometheus-node-exporter prometheus-blackbox-exporter openssl apprise
    exim4-daemon-light clang-format desktop-file-utils appstream systemd at-spi2-core
    python3-pyatspi
    "${PACKAGE_PACKAGES[@]}")

# What scripts/build-windows needs: the MinGW-w64 cross compiler, the tools that unpack and
# configure Debian's sources (Tcl makes SQLite's amalgamation), Wine to run and test the result
# and a headless X server for its window.
WINDOWS_PACKAGES=(cmake ninja-build qt6-base-dev qt6-base-dev-tools qt6-svg-dev libqt6svg6
    qt6-charts-dev g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64 dpkg-dev
    tcl wine wine64 xvfb xauth xdotool x11-utils imagemagick nginx python3)

need_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if ((${#missing[@]})); then
        echo "Installing: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        if [ -z "${VN_APT_UPDATED:-}" ]; then
            $sudo apt-get update -q
            export VN_APT_UPDATED=1
        fi
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
    fi
}

# build DIR [cmake options...] [--target T]: configures and builds DIR (only T when given).
build() {
    local dir="$1"
    shift
    local options=() targets=()
    while (($#)); do
        if [ "$1" = "--target" ]; then
            targets+=(--target "$2")
            shift 2
        else
            options+=("$1")
            shift
        fi
    done
    local launcher=()
    # ccache, where the machine has it, makes the several builds of scripts/test share work.
    if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" \
        "${options[@]}" >/dev/null
    cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
}
