#!/bin/sh
# Builds the Debian package (scripts/package.sh) and checks it the way a user meets it: its
# dependencies name nothing that only the build needs, lintian finds no error, the desktop
# entry and the AppStream metadata validate, and, run as root, the package installs onto this
# machine where the installed programs answer and the window starts (offscreen) from /usr.
# A package that was not installed before is removed again at the end.
set -eu
cd "$(dirname "$0")/.."

started=$(date +%s)
scripts/package.sh
built=$(date +%s)
set -- build/velkor_*.deb
[ "$#" -eq 1 ] && [ -f "$1" ] || { echo "package: expected one build/velkor_*.deb, found: $*" >&2; exit 1; }
deb=$1

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok: $1"; }
fail() { failed=$((failed + 1)); echo "FAILED: $1" >&2; }
check() { what=$1; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }

scratch=$(mktemp -d)
installed_here=0
cleanup() {
    [ -z "${window:-}" ] || kill "$window" 2>/dev/null || :
    if [ "$installed_here" = 1 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq velkor > /dev/null 2>&1 || :
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT

# --- the package file ------------------------------------------------------------------------
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
build_only=$(echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/[ (|].*//' |
    grep -E -e '-dev$' -e '^(build-essential|cmake|pkg-config|ccache|gcc|g\+\+|clang|xvfb|xauth|lintian|qt6-declarative-dev-tools|libgtest.*|libgmock.*)$' || :)
check "no build-only dependency${build_only:+ (found: $build_only)}" [ -z "$build_only" ]
for needed in libqt6quick6 libicu72 libplist3 libzip4 qml6-module-qtquick-controls qml6-module-qtquick-layouts pkexec pci.ids; do
    check "depends on $needed" sh -c "echo '$depends' | grep -q -w -- '$needed'"
done

dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's#^\./#/#' > "$scratch/contents"
check "everything lies under /usr" sh -c "! grep -v -e '^/\$' -e '^/usr/' '$scratch/contents'"
launchers=$(grep '^/usr/bin/.' "$scratch/contents" | sort | tr '\n' ' ')
check "/usr/bin holds only the two launchers (found: $launchers)" [ "$launchers" = "/usr/bin/velkor /usr/bin/velkor-registry " ]
for path in /usr/lib/velkor/Velkor.app/Contents/MacOS/velkor /usr/lib/velkor/Velkor.app/Contents/MacOS/velkor-registry \
            /usr/lib/velkor/Velkor.app/Contents/Resources/Tools/patchmatic /usr/lib/velkor/Velkor.app/Contents/Resources/Tools/usb.ids \
            /usr/share/applications/velkor.desktop /usr/share/metainfo/org.velkor.Velkor.metainfo.xml \
            /usr/share/man/man1/velkor.1.gz /usr/share/man/man1/velkor-registry.1.gz /usr/share/doc/velkor/copyright \
            /usr/share/icons/hicolor/scalable/apps/velkor.svg /usr/share/icons/hicolor/16x16/apps/velkor.png \
            /usr/share/icons/hicolor/48x48/apps/velkor.png /usr/share/icons/hicolor/256x256/apps/velkor.png; do
    check "package holds $path" grep -q -x -F "$path" "$scratch/contents"
done

lintian --fail-on error --no-tag-display-limit "$deb" > "$scratch/lintian" 2>&1 && lintian_ok=1 || lintian_ok=0
cat "$scratch/lintian"
check "lintian reports no error" [ "$lintian_ok" = 1 ]

dpkg-deb -x "$deb" "$scratch/root"
check "desktop-file-validate accepts velkor.desktop" desktop-file-validate "$scratch/root/usr/share/applications/velkor.desktop"
check "appstreamcli validates the metainfo" appstreamcli validate --no-net "$scratch/root/usr/share/metainfo/org.velkor.Velkor.metainfo.xml"

# --- installed onto this machine ---------------------------------------------------------------
if [ "$(id -u)" -ne 0 ]; then
    echo "package: not root, so the package is not installed here"
else
    dpkg-query -W -f='${Status}' velkor 2>/dev/null | grep -q "install ok installed" || installed_here=1
    if DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall "./$deb" > "$scratch/apt" 2>&1; then
        pass "apt installs ./$deb"
    else
        cat "$scratch/apt" >&2
        fail "apt installs ./$deb"
    fi
    version=$(dpkg-deb -f "$deb" Version)
    check "velkor --version prints the version" sh -c "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM /usr/bin/velkor --version | grep -q -x 'Velkor $version'"
    check "velkor --help prints the usage" sh -c "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM /usr/bin/velkor --help | grep -q '^Usage: velkor'"
    # The companion answers --version where it has it; --help is the fallback until then.
    if /usr/bin/velkor-registry --version > "$scratch/registry-version" 2>&1; then
        check "velkor-registry --version prints a version" grep -q "$version" "$scratch/registry-version"
    else
        check "velkor-registry --help prints the usage" sh -c "/usr/bin/velkor-registry --help | grep -q 'velkor-registry'"
    fi
    tools_ok=1
    for tool in /usr/lib/velkor/Velkor.app/Contents/Resources/Tools/*; do
        [ "${tool##*/}" != usb.ids ] || continue
        mkdir "$scratch/help" && (cd "$scratch/help" && "$tool" --help > ../help.out 2>&1) && [ -s "$scratch/help.out" ] &&
            [ -z "$(ls -A "$scratch/help")" ] || { echo "  ${tool##*/} --help failed or left files" >&2; tools_ok=0; }
        rm -rf "$scratch/help"
    done
    check "every installed tool answers --help and leaves no file" [ "$tools_ok" = 1 ]

    # The window from /usr, offscreen: a missing QML module or library ends it at once with a
    # message; a window that loaded keeps running until it is closed.
    QT_QPA_PLATFORM=offscreen /usr/bin/velkor > "$scratch/window.log" 2>&1 &
    window=$!
    alive=1
    for _ in 1 2 3 4 5 6 7 8; do
        sleep 1
        kill -0 "$window" 2>/dev/null || { alive=0; break; }
    done
    kill "$window" 2>/dev/null || :
    wait "$window" 2>/dev/null || :
    window=
    if [ "$alive" = 1 ] && ! grep -q -i -e "not installed" -e "failed" "$scratch/window.log"; then
        pass "the window starts offscreen from /usr/bin/velkor"
    else
        cat "$scratch/window.log" >&2
        fail "the window starts offscreen from /usr/bin/velkor"
    fi
fi

echo "package: built in $((built - started)) s, checked in $(($(date +%s) - built)) s"
echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
