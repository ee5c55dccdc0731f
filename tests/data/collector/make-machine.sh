#!/bin/sh
# Builds, as root, the machine a test runs Velkor on as an ordinary user (UID, GID) below BASE:
# the user's home with its Desktop and temporary folder (0700); what only root may read (firmware
# identity, a kernel log that names a USB network adapter by its MAC address, an EFI partition
# mounted 0700 with an OpenCore config); files of root's that a link may point to, in a folder
# others may enter (victims) and one they may not (rootonly); the stand-in pkexec, setuid root,
# that only this user's group may run; and the programs, where the user may reach them.
#   make-machine.sh BASE UID GID STANDIN_PKEXEC PROGRAM...
set -eu
base=$1 uid=$2 gid=$3 here=$(dirname "$0")
umask 022
chmod 0755 "$base"
mkdir -p "$base/home/Desktop" "$base/home/tmp" "$base/machine/sys/class/dmi/id" "$base/machine/sys/class/net/enx8c1645123456" \
    "$base/esp/EFI/OC" "$base/victims" "$base/rootonly" "$base/pkexec"
chown -R "$uid:$gid" "$base/home"
id=$base/machine/sys/class/dmi/id
echo C02XK1ZZJV3Q > "$id/product_serial"
echo C0273930X0CDJ > "$id/board_serial"
echo CHS-7731-0042 > "$id/chassis_serial"
echo 0f3d2a41-7b7e-4c55-9e2b-3a5f6b7c8d9e > "$id/product_uuid"
printf 'kernel: Linux version 6.1\nkernel: DMI: board C0273930X0CDJ ready\nkernel: cdc_ether 2-1:1.0 enx8c1645123456: renamed from eth0\n' \
    > "$base/machine/kernel.log"
echo 8c:16:45:12:34:56 > "$base/machine/sys/class/net/enx8c1645123456/address"
cp "$here/oc-config-latin1.plist" "$base/esp/EFI/OC/config.plist"
echo 'root secret' > "$base/victims/secret"
echo 'root public' > "$base/victims/public"
echo "root's own output" > "$base/rootonly/patchmatic-output.txt"
echo "root's own table" > "$base/rootonly/DSDT.aml"
chmod 0400 "$id"/*
chmod 0600 "$base/machine/kernel.log" "$base/esp/EFI/OC/config.plist" "$base/victims/secret" "$base/rootonly"/*
chmod 0700 "$base/home" "$base/home/Desktop" "$base/home/tmp" "$base/esp" "$base/rootonly"
chmod 0711 "$base/machine" # others may look up names below it, never list it
cp "$4" "$base/pkexec/pkexec"
chmod 04755 "$base/pkexec/pkexec"
chgrp "$gid" "$base/pkexec"
chmod 0750 "$base/pkexec"
shift 4
cp -a "$@" "$here/swap-names.sh" "$base/"
