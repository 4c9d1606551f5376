#!/bin/sh
# What the start of a process costs by the libraries it links. A program that only creates a
# QCoreApplication and ends is linked (--no-as-needed, so every library is really loaded)
# against sets of the libraries vennatro links, and at last against exactly the libraries the
# program names, and run beside "vennatro --version"
# under hyperfine: CPU time (user+system) and wall time a run, and the number of shared
# libraries loaded.
#
#   bench/start_cost.sh [PROGRAM] [RUNS]     (defaults: build/vennatro, 40)
#
# Needs g++, pkg-config and the Qt and libcurl development packages the project builds with.
set -eu

program=${1:-build/vennatro}
runs=${2:-40}
for tool in g++ pkg-config hyperfine python3; do
    command -v "$tool" >/dev/null || { echo "start_cost: $tool is missing" >&2; exit 2; }
done
[ -x "$program" ] || { echo "start_cost: no program at $program" >&2; exit 2; }

root=$(mktemp -d "${TMPDIR:-/tmp}/vennatro-start-cost.XXXXXX")
trap 'rm -rf "$root"' EXIT
trap 'exit 130' INT TERM

cat >"$root/start.cpp" <<'EOF'
#include <QCoreApplication>
int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    return 0;
}
EOF

# The libraries the program itself names (its NEEDED entries), less the C and C++ run-times.
needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' |
    grep -v -e '^libc\.so' -e '^libstdc++' -e '^libgcc_s' -e '^ld-linux' | tr '\n' ' ')
# name:pkg-config modules, or the program's own list for "as linked"
sets="core:Qt6Core
network:Qt6Core Qt6Network
curl:Qt6Core libcurl
widgets:Qt6Core Qt6Gui Qt6Widgets
as linked:$needed"

echo "$sets" | while IFS=: read -r name modules; do
    file="$root/$(echo "$name" | tr ' ' _)"
    if [ "$name" = "as linked" ]; then
        libs=$(for lib in $modules; do printf ' -l:%s' "$lib"; done)
        flags="$(pkg-config --cflags --libs Qt6Core)$libs"
    else
        # shellcheck disable=SC2086 # a list of modules
        flags=$(pkg-config --cflags --libs $modules)
    fi
    # shellcheck disable=SC2086 # the flags are split on purpose
    g++ -O2 -fPIC "$root/start.cpp" -o "$file" -Wl,--no-as-needed $flags
    printf '%s\t%s\t%s\t%s\n' "$name" "$(ldd "$file" | wc -l)" "$modules" "$file" >>"$root/sets.tsv"
done
printf '%s\t%s\t%s\t%s\n' "vennatro --version" "$(ldd "$program" | wc -l)" "(the program)" \
    "$program --version" >>"$root/sets.tsv"

set --
while IFS="$(printf '\t')" read -r name _ _ command; do
    set -- "$@" --command-name "$name" "$command"
done <"$root/sets.tsv"
echo "load $(cut -d' ' -f1-3 /proc/loadavg); $runs runs each"
timeout 300 hyperfine -N --style none --warmup 5 --runs "$runs" --export-json "$root/result.json" "$@"

python3 - "$root/result.json" "$root/sets.tsv" <<'EOF'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
print(f"{'linked':20} {'libraries':>9} {'CPU ms':>7} {'wall ms':>8}   modules")
for line in open(sys.argv[2]):
    name, libs, modules, _ = line.rstrip("\n").split("\t")
    r = results[name]
    print(f"{name:20} {libs:>9} {(r['user'] + r['system']) * 1e3:7.2f} {r['mean'] * 1e3:8.2f}   {modules}")
EOF
