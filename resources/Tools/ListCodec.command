#!/bin/bash
# ListCodec.command: the HDA audio codecs of this machine, read from the kernel's ALSA listing
# in /proc/asound: first, for each codec, its name, vendor and subsystem IDs and revision, the
# facts a layout-id for AppleALC is chosen from; then each codec's whole listing (nodes, pin
# default configurations, connections), which a layout is made from. A listing is cut at
# 512 KiB, with a note saying so (a real one is some tens of kilobytes).
#
#   ListCodec.command [--root DIR | ASOUND-DIR]
#
# --root reads DIR/proc/asound (a copy of the machine's file system, for test trees);
# ASOUND-DIR names the ALSA folder itself; /proc/asound otherwise. Prints nothing when the
# machine has no HDA codec, so the caller can say so in its own words; always exits 0 after a
# listing.

LC_ALL=C
export LC_ALL

case $1 in
    --help|-h)
        echo "usage: ListCodec.command [--root DIR | ASOUND-DIR]"
        echo "Lists the HDA audio codecs: name, address, vendor and subsystem IDs, revision; then each codec's full listing."
        exit 0 ;;
    --root)
        if [ -z "$2" ]; then
            echo "usage: ListCodec.command [--root DIR | ASOUND-DIR]" >&2
            exit 2
        fi
        set -- "${2%/}/proc/asound" ;;
    -*)
        echo "ListCodec: unknown option $1" >&2
        echo "usage: ListCodec.command [--root DIR | ASOUND-DIR]" >&2
        exit 2 ;;
esac

asound=${1:-/proc/asound}
[ -d "$asound" ] || exit 0

readonly listing_limit=524288

shopt -s nullglob
found=0
codecs=()
for card in "$asound"/card[0-9]*; do
    [ -d "$card" ] || continue
    cardname=
    IFS= read -r cardname 2>/dev/null <"$card/id" || :
    for codec in "$card"/codec#*; do
        [ -f "$codec" ] || continue
        # The identity lines come first; the widget listing after "Node" can run to thousands
        # of lines and is not read.
        entry=$(awk -F': *' '
            /^Codec:/ { codec = $2 }
            /^Address:/ { address = $2 }
            /^Vendor Id:/ { vendor = $2 }
            /^Subsystem Id:/ { subsystem = $2 }
            /^Revision Id:/ { revision = $2 }
            /^Node / { exit }
            END {
                if (codec == "" && vendor == "") exit
                printf "Codec: %s\n", (codec != "" ? codec : "unknown")
                if (address != "") printf "  Address: %s\n", address
                if (vendor != "") printf "  Vendor Id: %s\n", vendor
                if (subsystem != "") printf "  Subsystem Id: %s\n", subsystem
                if (revision != "") printf "  Revision Id: %s\n", revision
            }' "$codec" 2>/dev/null)
        [ -n "$entry" ] || continue
        if [ "$found" = 1 ]; then echo; fi
        found=1
        echo "${card##*/}${cardname:+ ($cardname)} ${codec##*/}"
        printf '%s\n' "$entry"
        codecs+=("$codec")
    done
done

for codec in "${codecs[@]}"; do
    card=${codec%/*}
    echo
    echo "===== ${card##*/} ${codec##*/} full listing ====="
    # One byte over the limit tells a cut listing from one that is exactly as long.
    listing=$(head -c $((listing_limit + 1)) "$codec" 2>/dev/null | tr -d '\000')
    if [ "${#listing}" -gt "$listing_limit" ]; then
        printf '%s\n' "${listing:0:listing_limit}"
        echo "[listing cut at $listing_limit bytes]"
    else
        printf '%s\n' "$listing"
    fi
done
exit 0
