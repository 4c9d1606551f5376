#!/usr/bin/env bash
# The Debian package as a user gets it: scripts/package builds it (a lintian error fails),
# `apt-get install` installs it, the installed program tells its version and pings a web
# server on 127.0.0.1, what a scratch install (tests/install_check.py) cannot show is checked,
# and the package is purged again with everything its installation brought, so the machine is
# left as it was.
# Needs root (apt-get); exits 77 (skipped) without it.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
SKIPPED=77
passed=0
failed=0

if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
    echo "skipped: installing a package takes root and apt-get"
    exit $SKIPPED
fi
if dpkg-query -W -f='${Status}' vennatro 2>/dev/null | grep -q 'install ok installed'; then
    echo "skipped: a vennatro package is installed already, and this check would remove it"
    exit $SKIPPED
fi

check() { # check DESCRIPTION COMMAND...: runs the command, counts and reports the outcome
    local what="$1"
    shift
    local said
    if said="$("$@" 2>&1)"; then
        passed=$((passed + 1))
        echo "ok: $what"
    else
        failed=$((failed + 1))
        echo "FAIL: $what"
        printf '%s\n' "$said" | sed 's/^/    /'
    fi
}

started=$SECONDS
"$ROOT/scripts/package"
echo "package built in $((SECONDS - started)) s"
version="$(dpkg-parsechangelog -l "$ROOT/debian/changelog" -S Version)"
deb="$ROOT/build/deb/vennatro_${version}_amd64.deb"
dbgsym="$ROOT/build/deb/vennatro-dbgsym_${version}_amd64.deb"

work="$(mktemp -d)"
installed_packages() { dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" {print $2}' | sort; }
installed_packages >"$work/before"
server=""
cleanup() {
    [ -z "$server" ] || kill "$server" 2>/dev/null || true
    # The package and whatever came with it (its recommendations): nothing else.
    installed_packages >"$work/after"
    mapfile -t brought < <(comm -13 "$work/before" "$work/after")
    if ((${#brought[@]})); then
        DEBIAN_FRONTEND=noninteractive apt-get purge -y -q "${brought[@]}" >"$work/purge.log" 2>&1 ||
            { cat "$work/purge.log"; echo "FAIL: could not purge ${brought[*]}"; }
    fi
    installed_packages >"$work/after"
    if ! cmp -s "$work/before" "$work/after"; then
        echo "FAIL: the installed packages differ from before:"
        diff "$work/before" "$work/after" || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT

install() {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" >"$work/install.log" 2>&1
}
started=$SECONDS
# Package lists too old for the recommended packages: read them anew, once.
install || { apt-get update -q >/dev/null && install; } || {
    cat "$work/install.log"
    echo "FAIL: apt-get install $deb"
    exit 1
}
echo "installed with what it recommends in $((SECONDS - started)) s:" \
    "$(comm -13 "$work/before" <(installed_packages) | tr '\n' ' ')"

# A program of its own: home, settings and history in the scratch folder.
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" XDG_DATA_HOME="$work/home/data"
export XDG_CACHE_HOME="$work/home/cache"
mkdir -p "$HOME"
check "/usr/bin/vennatro --version says $version" \
    bash -c "/usr/bin/vennatro --version | tee /dev/stderr | grep -qF '$version'"

# A web server on a free loopback port, which it names once it listens.
mkfifo "$work/port"
python3 - "$work/port" <<'PY' &
import http.server, sys
class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Quiet)
with open(sys.argv[1], "w") as port:
    port.write(f"{server.server_address[1]}\n")
server.serve_forever()
PY
server=$!
read -r -t 20 port <"$work/port"
check "/usr/bin/vennatro --ping http://127.0.0.1:$port/ completes" \
    bash -c "/usr/bin/vennatro --ping http://127.0.0.1:$port/ | tee /dev/stderr |
             grep -q 'Connection to \[http://127.0.0.1:$port/\] (port $port) completed in'"

check "the programs are stripped" \
    bash -c "file -L /usr/bin/vennatro /usr/bin/vennatro-window | tee /dev/stderr |
             grep -c ', stripped' | grep -qx 2"
check "vennatro-dbgsym holds the debug symbols of both programs" \
    bash -c "dpkg-deb -c '$dbgsym' | tee /dev/stderr |
             grep -cE '/usr/lib/debug/\.build-id/[0-9a-f]{2}/[0-9a-f]+\.debug$' | grep -qx 2"
check "PNG icons of 8 sizes and the SVG in the hicolor theme" \
    bash -c "dpkg -L vennatro | grep -cE '^/usr/share/icons/hicolor/([0-9]+x[0-9]+/apps/dev\.lumo\.Vennatro\.png|scalable/apps/dev\.lumo\.Vennatro\.svg)$' | grep -qx 9"
# The desktop entry and the metainfo are install_check's and lintian's; the unit differs from
# a scratch install by the program's path.
if command -v systemd-analyze >/dev/null; then
    mkdir -m 0700 "$work/runtime"
    check "systemd-analyze --user verify vennatro.service" \
        bash -c "grep -qx 'ExecStart=/usr/bin/vennatro --serve' /usr/lib/systemd/user/vennatro.service &&
                 ! XDG_RUNTIME_DIR='$work/runtime' systemd-analyze --user verify \
                     /usr/lib/systemd/user/vennatro.service 2>&1 | grep ."
else
    echo "skipped: systemd-analyze is not installed (Debian: systemd)"
fi

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
