#!/bin/sh
# Prints the non-blank lines of code (C++ and QML under src/) and of tests (C++ and QML under
# tests/, and the shell scripts tests run, wherever they lie; other fixtures under tests/data not
# counted), per folder and in total, and the ratio.
# Exits 1 when the tests hold more than a third of the code's lines.
set -eu
cd "$(dirname "$0")/.."

count() {
    find "$@" -type f \( \( \( -name '*.cpp' -o -name '*.h' -o -name '*.qml' \) -not -path 'tests/data/*' \) -o -name '*.sh' \) -print0 |
        xargs -0 -r cat | grep -c -v '^[[:space:]]*$' || true
}

printf '%-16s %8s %8s\n' folder code tests
for dir in src/*/; do
    name=$(basename "$dir")
    code=$(count "$dir")
    tests=0
    [ -d "tests/$name" ] && tests=$(count "tests/$name")
    printf '%-16s %8s %8s\n' "$name" "$code" "$tests"
done
[ -d tests/support ] && printf '%-16s %8s %8s\n' "(test support)" - "$(count tests/support)"
printf '%-16s %8s %8s\n' "(test scripts)" - "$(count tests/data)"

code=$(count src)
tests=$(count tests)
echo "total code: $code lines; total tests: $tests lines; tests/code = $(awk -v t="$tests" -v c="$code" 'BEGIN { printf "%.1f %%", 100 * t / c }')"
if [ $((tests * 3)) -gt "$code" ]; then
    echo "FAIL: the tests hold more than a third of the code's lines." >&2
    exit 1
fi
