#!/bin/sh
# Run by the test as the ordinary user while the administrator prompt is open: replaces the
# names in the work folder with links to root's files and with FIFOs, twenty times over.
# swap-names.sh WORK VICTIMS ROOTONLY names|folder
work=$1 victims=$2 rootonly=$3 how=$4
i=0
while [ $i -lt 20 ]; do
    if [ "$how" = folder ]; then
        rm -rf "$work/ACPI"; ln -s "$rootonly" "$work/ACPI"
    else
        for name in patchmatic-output.txt DSDT.aml APIC.aml FACP.aml SSDT-1.aml ACPI-extraction-failed.txt; do rm -f "$work/ACPI/$name"; done
        ln -s "$rootonly/patchmatic-output.txt" "$work/ACPI/patchmatic-output.txt"
        ln -s "$victims/secret" "$work/ACPI/APIC.aml"
        mkfifo "$work/ACPI/DSDT.aml" "$work/ACPI/FACP.aml"
    fi
    for name in bootlog.txt Pmset.txt OC-config.plist collector-log.txt privacy-audit.txt; do rm -f "$work/$name"; done
    ln -s "$victims/secret" "$work/bootlog.txt"
    ln -s "$victims/public" "$work/OC-config.plist"
    mkfifo "$work/Pmset.txt" "$work/collector-log.txt"
    i=$((i + 1))
    sleep 0.05
done
