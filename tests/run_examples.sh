#!/bin/bash
# Runs the shell sessions the documentation shows and fails where a command
# prints anything else than is shown under it: every block of the manual
# page's EXAMPLES section (.EX to .EE) and every indented block of the README
# that starts with "$ ". A "$ " line is a command (a line ending in a
# backslash goes on on the next); the other lines are its output, standard
# error included. Each block runs in a bash of its own, in order, against
# the sandbox build: "zelvo-ivask" is the sandboxed program, "build" and
# "tools" are this build and the source's tools, and the sandbox holds the
# demo's engine file and a quiet scanner (example_scanner.sh). What must
# vary is masked in what the commands print: the sandbox folder (the shipped
# paths are shown), process ids ("process 4242"), how long a process that
# holds the turn has run ("for 2 s") and the stand-in agent's temporary
# folder (/tmp/zelvo-agent.XXXXXX).
#   tests/run_examples.sh BUILD_DIR SOURCE_DIR
set -u
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
sandbox=$build/sandbox
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$sandbox/etc/zelvo" "$sandbox/opt/zelvo" "$sandbox/tmp" "$sandbox/run" "$work/bin" "$work/cwd" "$work/blocks"
cp "$source/tools/demo/zelvo32.ini" "$sandbox/etc/zelvo/zelvo32.ini"
cp "$source/tests/example_scanner.sh" "$sandbox/opt/zelvo/zelvo"
chmod 755 "$sandbox/opt/zelvo/zelvo"
rm -f "$sandbox/run/zelvo-ivask.lock"
ln -s "$build/zelvo-ivask-sandbox" "$work/bin/zelvo-ivask"
ln -s "$build" "$work/cwd/build"
ln -s "$source/tools" "$work/cwd/tools"

# The session blocks, one file each, as a reader sees them.
awk -v out="$work/blocks/man" '
    /^\.SH / { examples = ($2 == "EXAMPLES") }
    examples && /^\.EX/ { text = ""; next }
    examples && /^\.EE/ { if (text ~ /^\$ /) printf "%s", text > (out "." ++n); next }
    examples && !/^\./ { text = text $0 "\n" }
' "$source/man/zelvo-ivask.1"
for f in "$work"/blocks/man.*; do
    sed -i -e 's/\\e/\x01/g' -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" -e 's/\\(dq/"/g' -e 's/\\&//g' \
        -e 's/\\f[BIRP]//g' -e 's/\x01/\\/g' "$f"
done
awk -v out="$work/blocks/readme" '
    /^    / { text = text substr($0, 5) "\n"; next }
    { if (text ~ /^\$ /) printf "%s", text > (out "." ++n); text = "" }
    END { if (text ~ /^\$ /) printf "%s", text > (out "." ++n) }
' "$source/README.md"

# A block as a script that shows each command, then runs it.
to_script() {
    echo 'status=0'
    awk '
        function quoted(s) { gsub(/\047/, "\047\\\047\047", s); return "\047" s "\047" }
        function run() {
            print "printf \"%s\\n\" " shown
            print "(exit $status); { " command  # $? as the command before left it
            print "} 2>&1; status=$?"
            going = 0
        }
        going { command = command "\n" $0; shown = shown " " quoted($0); going = /\\$/; if (!going) run(); next }
        /^\$ / { command = substr($0, 3); shown = quoted($0); going = /\\$/; if (!going) run() }
        END { if (going) run() }
    ' "$1"
}

failed=0
count=0
for block in $(ls "$work"/blocks/man.* "$work"/blocks/readme.* 2>/dev/null | sort -t. -k2,2 -k3,3n); do
    count=$((count + 1))
    to_script "$block" > "$work/script"
    (cd "$work/cwd" && PATH="$work/bin:$PATH" XDG_RUNTIME_DIR="$sandbox/run" bash "$work/script" < /dev/null) |
        sed -e "s|$sandbox||g" -e 's/process [0-9][0-9]*/process 4242/g' -e 's/, for [0-9][0-9]* s)/, for 2 s)/g' \
            -e 's|/tmp/zelvo-agent\.[A-Za-z0-9]*|/tmp/zelvo-agent.XXXXXX|g' > "$work/actual"
    name=$(basename "$block")
    if diff -u --label "$name as documented" --label "$name as run" "$block" "$work/actual"; then
        echo "example $name: passed"
    else
        echo "example $name: FAILED"
        failed=$((failed + 1))
    fi
done
[ "$count" -gt 0 ] || { echo "no examples found"; exit 1; }
echo "$((count - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
