#!/bin/sh
# Runs one scan task end to end: the stand-in agent starts the sandboxed
# program, which starts the stand-in scanner over a small demo tree.
#   tools/demo.sh BUILD_DIR
set -eu
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
sandbox=$build/sandbox
tree=$build/demo-tree

mkdir -p "$sandbox/etc/zelvo" "$sandbox/opt/zelvo" "$sandbox/tmp" "$sandbox/run"
cp "$here/demo/zelvo32.ini" "$sandbox/etc/zelvo/zelvo32.ini"
cp "$build/tools/zelvo-stand-in-scanner" "$sandbox/opt/zelvo/zelvo"

rm -rf "$tree"
mkdir -p "$tree/documents" "$tree/downloads" "$tree/old-quarantine"
echo "Quarterly figures." > "$tree/documents/report.txt"
echo "Nothing to see." > "$tree/documents/notes.txt"
# The standard anti-virus test string, harmless by design; split here so
# that this script is not itself taken for it.
part1='X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-'
part2='ANTIVIRUS-TEST-FILE!$H+H*'
printf '%s%s' "$part1" "$part2" > "$tree/downloads/eicar.com"
printf '%s%s' "$part1" "$part2" > "$tree/old-quarantine/eicar-again.com"

# InfectedFiles 1: cure; IncurableFiles 4: delete. "relative/dir" is
# refused by the program with a line of its own. Line ends are dropped, so
# the blank at the end of the first line keeps the two lines apart.
printf 'IvaskPaths "%s,relative/dir" \nExcludeFileAndPaths %s ScanHeuristic 1 CheckArchives 1 InfectedFiles 1 IncurableFiles 4 MaxArchLevel 8\n' \
    "$tree" "$tree/old-quarantine" > "$build/demo-task.txt"

"$build/tools/zelvo-stand-in-agent" "$build/zelvo-ivask-sandbox" "$build/demo-task.txt"
echo
echo "The lines of the scanner config that this task set (the whole file, with"
echo "the engine's paths and every default, is $sandbox/tmp/.ivask_config):"
grep -E '^(ExcludePaths|HeuristicAnalysis|CheckArchives|InfectedFiles|IncurableFiles|MaxArchiveLevel) = ' \
    "$sandbox/tmp/.ivask_config" | sed 's/^/    /'
