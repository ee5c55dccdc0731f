#include "acpi/PrivilegedSetupScript.h"

#include "platform/Platform.h"
#include "process/ShellQuoting.h"

namespace velkor {
namespace {

// The fixed part of the setup script. Records on standard output:
//   VELKOR-PRIVILEGED 1
//   <kind> <size> <name>   then exactly <size> bytes and a line feed, repeated
//   END
// Root writes into no folder but its own, which only root can enter; every command it runs is
// bounded in time and every record in size.
const char* const kBody = R"SCRIPT(
shopt -s nullglob

work=''
child=''
watchdog=''

finish() {
    trap - EXIT
    if [ -n "$child" ]; then kill -TERM "$child" 2>/dev/null; fi
    if [ -n "$watchdog" ]; then kill -TERM "$watchdog" 2>/dev/null; fi
    if [ -n "$work" ]; then cd / && rm -rf -- "$work"; fi
}
trap finish EXIT
trap 'finish; exit 143' TERM HUP INT
trap 'finish; exit 141' PIPE

# Velkor cannot signal root's processes; once Velkor is gone, the script ends itself.
velkor=$PPID
(
    trap - EXIT TERM HUP INT PIPE
    while read -r _ _ _ parent _ < "/proc/$$/stat" && [ "$parent" = "$velkor" ]; do
        sleep 0.25
    done
    kill -TERM $$
) < /dev/null > /dev/null 2>&1 &
watchdog=$!

# A command with a time-out; the traps can interrupt the wait for it.
bounded() {
    local seconds=$1 status
    shift
    timeout -k 2 "$seconds" "$@" &
    child=$!
    wait "$child"
    status=$?
    child=''
    return "$status"
}

record_text() {
    printf '%s %d %s\n%s\n' "$1" "${#3}" "$2" "$3"
}

record_file() {
    local size
    size=$(stat -c %s -- "$3") || return 1
    if [ "$size" -gt "$4" ]; then size=$4; fi
    printf '%s %d %s\n' "$1" "$size" "$2"
    head -c "$size" -- "$3"
    printf '\n'
}

# Owned by root and writable by no one else.
only_root_changes() {
    local info
    info=$(stat -c '%u %a' -- "$1" 2>/dev/null) || return 1
    [ "${info% *}" = 0 ] && [ $((8#${info#* } & 8#022)) -eq 0 ]
}

# A regular file, reached without links, in folders where no one but root can put something
# else in its place (a shared folder such as /tmp counts when what is below it is root's).
root_reads_safely() {
    local folder below
    [ -f "$1" ] && [ ! -L "$1" ] || return 1
    [ "$(realpath -e -- "$1" 2>/dev/null)" = "$1" ] || return 1
    below=$1
    folder=${1%/*}
    while :; do
        [ -n "$folder" ] || folder=/
        if ! only_root_changes "$folder"; then
            [ -k "$folder" ] && [ "$(stat -c %u -- "$below")" = 0 ] || return 1
        fi
        [ "$folder" = / ] && return 0
        below=$folder
        folder=${folder%/*}
    done
}

small_file() {
    timeout "$small_file_seconds" head -c "$2" -- "$1" 2>/dev/null | tr -d '\000'
}

printf 'VELKOR-PRIVILEGED 1\n'
record_text log - $'[privileged] setup started\n'

for base in /run /root; do
    if [ -d "$base" ] && [ ! -L "$base" ] && only_root_changes "$base" \
        && work=$(mktemp -d -- "$base/velkor-privileged.XXXXXXXX" 2>/dev/null); then
        break
    fi
    work=''
done

if [ -n "$work" ]; then
    tables="$work/tables"
    output="$work/patchmatic-output.txt"
    mkdir -- "$tables"
    {
        printf '[privileged] extracting ACPI with bundled patchmatic: %s\n' "$patchmatic"
        printf '[privileged] working directory: %s\n' "$tables"
    } > "$output"
    if cd -- "$tables"; then
        bounded "$patchmatic_seconds" "$patchmatic" -extract >> "$output" 2>&1
        status=$?
        printf '[privileged] patchmatic exit status: %s\n' "$status" >> "$output"
        printf '[privileged] AML count: %s\n' "$(find . -maxdepth 1 -iname '*.aml' | wc -l | tr -d ' ')" >> "$output"
        cd /
    fi
    total=0
    for table in "$tables"/*; do
        [ -f "$table" ] && [ ! -L "$table" ] || continue
        name=${table##*/}
        case $name in
            *.[aA][mM][lL]) ;;
            *) continue ;;
        esac
        size=$(stat -c %s -- "$table") || continue
        if [ "$size" -gt "$table_limit" ] || [ $((total + size)) -gt "$all_tables_limit" ]; then
            printf '[privileged] %s left out: %s bytes are more than can be handed over\n' "$name" "$size" >> "$output"
            continue
        fi
        total=$((total + size))
        record_file table "$name" "$table" "$table_limit"
    done
    record_file output patchmatic-output.txt "$output" "$output_limit"

    if [ "${#boot_log_command[@]}" -gt 0 ]; then
        bounded "$boot_log_seconds" /bin/sh -c 'limit=$1; shift; "$@" 2>/dev/null | head -c "$limit"' sh \
            "$((boot_log_limit + 1))" "${boot_log_command[@]}" > "$work/boot-log" 2>/dev/null
        if [ -s "$work/boot-log" ]; then
            record_file bootlog - "$work/boot-log" "$boot_log_limit"
        fi
    fi
    if [ "${#kernel_warnings_command[@]}" -gt 0 ]; then
        bounded "$boot_log_seconds" /bin/sh -c 'limit=$1; shift; "$@" 2>/dev/null | head -c "$limit"' sh \
            "$((boot_log_limit + 1))" "${kernel_warnings_command[@]}" > "$work/kernel-warnings" 2>/dev/null
        if [ -s "$work/kernel-warnings" ]; then
            record_file kernel-warnings - "$work/kernel-warnings" "$boot_log_limit"
        fi
    fi

    efi_root=''
    for candidate in "${efi_roots[@]}"; do
        if [ -e "$candidate" ]; then
            efi_root=$candidate
            break
        fi
    done
    if [ -n "$efi_root" ]; then
        record_text efi-root "$efi_root" ''
        for config in CLOVER/config.plist OC/config.plist; do
            source="$efi_root/$config"
            root_reads_safely "$source" || continue
            if bounded "$file_seconds" head -c "$((efi_limit + 1))" -- "$source" > "$work/efi-config" 2>/dev/null \
                && [ "$(stat -c %s -- "$work/efi-config")" -le "$efi_limit" ]; then
                record_file efi "$source" "$work/efi-config" "$efi_limit"
            fi
        done
    fi
else
    record_text log - $'[privileged] no folder of root\'s own could be made in /run or /root\n'
fi

# Firmware identifiers: for the privacy audit only, never written to a file.
for attribute in product_serial board_serial chassis_serial product_uuid; do
    file="$machine_root/sys/class/dmi/id/$attribute"
    [ -f "$file" ] || continue
    value=$(small_file "$file" "$identifier_limit")
    if [ -n "$value" ]; then record_text dmi "$attribute" "$value"; fi
done

protocols=0
for folder in "$machine_root"/sys/kernel/debug/usb/xhci/*; do
    [ -d "$folder" ] && [ ! -L "$folder" ] || continue
    for file in "$folder"/reg-ext-protocol:*; do
        [ -f "$file" ] && [ "$protocols" -lt "$protocol_files" ] || continue
        protocols=$((protocols + 1))
        value=$(small_file "$file" "$protocol_limit")
        if [ -n "$value" ]; then record_text xhci "${folder##*/}/${file##*/}" "$value"; fi
    done
done

record_text log - $'[privileged] setup finished\n'
printf 'END\n'
exit 0
)SCRIPT";

QString quotedList(const QStringList& words)
{
    QStringList quoted;
    for (const QString& word : words)
        quoted.append(shellQuoted(word));
    return QLatin1Char('(') + quoted.join(QLatin1Char(' ')) + QLatin1Char(')');
}

} // namespace

PrivilegedRequest privilegedRequestFor(const Platform& platform, const QString& patchmatic)
{
    return {patchmatic, platform.machineRoot, platform.efiRoots, platform.commands.bootLogDump,
            platform.commands.kernelWarningsDump};
}

QString privilegedSetupScript(const PrivilegedRequest& request)
{
    QString machineRoot = request.machineRoot;
    while (machineRoot.endsWith(QLatin1Char('/')))
        machineRoot.chop(1);
    const QStringList bootLog = request.bootLog.program.isEmpty() ? QStringList()
                                                                  : QStringList{request.bootLog.program} + request.bootLog.arguments;
    const QStringList kernelWarnings = request.kernelWarnings.program.isEmpty()
        ? QStringList()
        : QStringList{request.kernelWarnings.program} + request.kernelWarnings.arguments;
    const QStringList lines{
        QStringLiteral("#!/bin/bash"),
        QStringLiteral("set -u"),
        // Only the system's own folders: root runs no program that a user may have put somewhere.
        QStringLiteral("export PATH=/usr/bin:/bin:/usr/sbin:/sbin"),
        QStringLiteral("export LC_ALL=C"),
        QStringLiteral("umask 077"),
        QStringLiteral("patchmatic=") + shellQuoted(request.patchmatic),
        QStringLiteral("machine_root=") + shellQuoted(machineRoot),
        QStringLiteral("efi_roots=") + quotedList(request.efiRoots),
        QStringLiteral("boot_log_command=") + quotedList(bootLog),
        QStringLiteral("kernel_warnings_command=") + quotedList(kernelWarnings),
        QStringLiteral("readonly table_limit=%1 all_tables_limit=%2 output_limit=%3 boot_log_limit=%4 efi_limit=%5")
            .arg(privileged::kTableBytes)
            .arg(privileged::kAllTablesBytes)
            .arg(privileged::kOutputBytes)
            .arg(privileged::kBootLogBytes)
            .arg(privileged::kEfiConfigBytes),
        QStringLiteral("readonly protocol_limit=%1 protocol_files=%2 identifier_limit=%3")
            .arg(privileged::kProtocolBytes)
            .arg(privileged::kMostProtocolFiles)
            .arg(privileged::kIdentifierBytes),
        QStringLiteral("readonly patchmatic_seconds=%1 boot_log_seconds=%2 file_seconds=%3 small_file_seconds=%4")
            .arg(privileged::kPatchmaticSeconds)
            .arg(privileged::kBootLogSeconds)
            .arg(privileged::kFileSeconds)
            .arg(privileged::kSmallFileSeconds),
    };
    return lines.join(QLatin1Char('\n')) + QString::fromUtf8(kBody);
}

} // namespace velkor
