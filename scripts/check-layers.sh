#!/bin/sh
# Prints the include graph between the folders of src/ (a nested folder such as
# platform/linux is a node of its own) and fails when the graph has a cycle, so that every
# folder can be read, built and tested from the bottom up.
set -eu
cd "$(dirname "$0")/../src"

edges=$(find . -name '*.h' -o -name '*.cpp' | sed 's#^\./##' | sort | while read -r file; do
    from=$(dirname "$file")
    sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\(.*\)\/[^/]*".*/\1/p' "$file" | while read -r to; do
        [ "$from" = "$to" ] || echo "$from $to"
    done
done | sort -u)

echo "Folder include graph of src/ (folder -> folders it includes):"
echo "$edges" | awk 'NF == 2 { deps[$1] = deps[$1] " " $2 } END { for (f in deps) print "  " f " ->" deps[f] }' | sort

# tsort reports a cycle on its standard error; an acyclic graph prints one valid build order.
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
order=$(echo "$edges" | tsort 2>"$errors") || :
if [ -s "$errors" ]; then
    echo "FAIL: the folders include each other in a cycle:" >&2
    cat "$errors" >&2
    exit 1
fi
echo "Build order, bottom layer first:"
echo "$order" | tac | sed 's/^/  /'
echo "No cycle."
