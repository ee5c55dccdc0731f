#!/bin/bash
# CPUFriend-Dump.command: the CPU frequency and power-management data a CPUFriend frequency
# vector is tuned from, written as text files into the folder given:
#
#   summary.txt           scaling driver, governors, energy-performance preference, turbo state,
#                         P-state driver status, frequency range
#   cpufreq-policies.txt  every attribute of every cpufreq policy, with its statistics
#   intel_pstate.txt      the intel_pstate driver's global attributes (when it is loaded)
#   amd_pstate.txt        the amd-pstate driver's global attributes (when it is loaded)
#   cpuidle.txt           the idle driver and the C-states of the first CPU
#   processor.txt         the first CPU's identity and feature flags (hwp, est, ...)
#   thermal-power.txt     thermal zones and RAPL power limits
#
#   CPUFriend-Dump.command FOLDER [ROOT]
#
# ROOT is / unless given (test trees). Only sysfs and /proc are read, so the dump never waits
# on a device. Progress goes to standard output. Exits 0 when the files are written, 1 when
# the folder cannot be written, 2 without a folder.

LC_ALL=C
export LC_ALL

case $1 in
    --help|-h)
        echo "usage: CPUFriend-Dump.command FOLDER [ROOT]"
        echo "Writes the CPU frequency and power-management data (cpufreq policies, P-state driver,"
        echo "C-states, processor identity, thermal zones and RAPL limits) as text files into FOLDER."
        exit 0 ;;
    -*)
        # An option is never a folder: nothing is created under its name.
        echo "CPUFriend-Dump: unknown option $1" >&2
        echo "usage: CPUFriend-Dump.command FOLDER [ROOT]" >&2
        exit 2 ;;
esac

out=$1
R=${2%/}
if [ -z "$out" ]; then
    echo "usage: CPUFriend-Dump.command FOLDER [ROOT]" >&2
    exit 2
fi
mkdir -p -- "$out" 2>/dev/null
if [ ! -d "$out" ] || [ ! -w "$out" ]; then
    echo "CPUFriend-Dump: cannot write into $out" >&2
    exit 1
fi

shopt -s nullglob
cpu=$R/sys/devices/system/cpu

rd() {
    _v=
    IFS= read -r _v 2>/dev/null <"$1" || :
    printf '%s' "$_v"
}

# "name: value" for every readable file of a folder (not descending), one line each.
attributes() {
    local dir=$1 f
    for f in "$dir"/*; do
        [ -f "$f" ] && [ -r "$f" ] || continue
        printf '%s: %s\n' "${f##*/}" "$(tr '\n' ' ' <"$f" 2>/dev/null | sed 's/ *$//')"
    done
}

write() {
    echo "CPUFriend-Dump: writing $1"
    cat >"$out/$1" || { echo "CPUFriend-Dump: could not write $out/$1" >&2; return 1; }
}

status=0
echo "CPUFriend-Dump: collecting CPU power-management data"

policies=("$cpu"/cpufreq/policy[0-9]*)

{
    echo "CPU power-management summary"
    echo
    if [ ${#policies[@]} -eq 0 ]; then
        echo "cpufreq: no frequency policies; the kernel does not scale this CPU's frequency (no driver, or a virtual machine)."
    else
        first=${policies[0]}
        echo "Frequency policies: ${#policies[@]}"
        echo "Scaling driver: $(rd "$first/scaling_driver")"
        echo "Governors in use: $(for p in "${policies[@]}"; do rd "$p/scaling_governor"; echo; done | sort -u | tr '\n' ' ' | sed 's/ *$//')"
        echo "Available governors: $(rd "$first/scaling_available_governors")"
        epp=$(for p in "${policies[@]}"; do rd "$p/energy_performance_preference"; echo; done | sort -u | tr '\n' ' ' | sed 's/ *$//')
        echo "Energy-performance preference: ${epp:-not offered by this driver}"
        prefs=$(rd "$first/energy_performance_available_preferences")
        [ -z "$prefs" ] || echo "Available preferences: $prefs"
        min=$(rd "$first/cpuinfo_min_freq")
        max=$(rd "$first/cpuinfo_max_freq")
        base=$(rd "$first/base_frequency")
        echo "Hardware frequency range: ${min:-?} - ${max:-?} kHz${base:+ (base $base kHz)}"
    fi
    # Turbo: intel_pstate says no_turbo, acpi-cpufreq and amd-pstate say boost.
    if [ -r "$cpu/intel_pstate/no_turbo" ]; then
        case $(rd "$cpu/intel_pstate/no_turbo") in
            0) echo "Turbo: enabled (intel_pstate no_turbo=0)" ;;
            1) echo "Turbo: disabled (intel_pstate no_turbo=1)" ;;
        esac
    elif [ -r "$cpu/cpufreq/boost" ]; then
        case $(rd "$cpu/cpufreq/boost") in
            1) echo "Turbo: enabled (cpufreq boost=1)" ;;
            0) echo "Turbo: disabled (cpufreq boost=0)" ;;
        esac
    else
        echo "Turbo: no turbo control offered"
    fi
    if [ -r "$cpu/intel_pstate/status" ]; then
        echo "intel_pstate status: $(rd "$cpu/intel_pstate/status")"
        [ ! -r "$cpu/intel_pstate/hwp_dynamic_boost" ] || echo "HWP dynamic boost: $(rd "$cpu/intel_pstate/hwp_dynamic_boost")"
    else
        echo "intel_pstate: not active"
    fi
    [ ! -r "$cpu/amd_pstate/status" ] || echo "amd-pstate status: $(rd "$cpu/amd_pstate/status")"
} | write summary.txt || status=1

{
    if [ ${#policies[@]} -eq 0 ]; then
        echo "No cpufreq policies under /sys/devices/system/cpu/cpufreq."
    fi
    for p in "${policies[@]}"; do
        echo "== ${p##*/}"
        attributes "$p"
        if [ -d "$p/stats" ]; then
            echo "-- stats"
            [ ! -r "$p/stats/total_trans" ] || echo "total_trans: $(rd "$p/stats/total_trans")"
            [ ! -r "$p/stats/time_in_state" ] || { echo "time_in_state (kHz, 10 ms units):"; head -n 200 "$p/stats/time_in_state" 2>/dev/null; }
        fi
        echo
    done
} | write cpufreq-policies.txt || status=1

if [ -d "$cpu/intel_pstate" ]; then
    attributes "$cpu/intel_pstate" | write intel_pstate.txt || status=1
fi
if [ -d "$cpu/amd_pstate" ]; then
    attributes "$cpu/amd_pstate" | write amd_pstate.txt || status=1
fi

{
    if [ -d "$cpu/cpuidle" ]; then
        echo "== cpuidle"
        attributes "$cpu/cpuidle"
    fi
    for s in "$cpu"/cpu0/cpuidle/state[0-9]*; do
        echo "== cpu0 ${s##*/}"
        for a in name desc latency residency disable default_status; do
            [ -r "$s/$a" ] && echo "$a: $(rd "$s/$a")"
        done
    done
    [ -d "$cpu/cpuidle" ] || [ -d "$cpu/cpu0/cpuidle" ] || echo "No cpuidle information."
} | write cpuidle.txt || status=1

{
    # The first processor's block, without lines that could identify the machine.
    awk '/^$/ { exit } !/^[Ss]erial/' "$R/proc/cpuinfo" 2>/dev/null
    [ -r "$R/proc/cpuinfo" ] || echo "No /proc/cpuinfo."
} | write processor.txt || status=1

{
    zones=("$R"/sys/class/thermal/thermal_zone[0-9]*)
    for z in "${zones[@]}"; do
        echo "${z##*/}: type=$(rd "$z/type") temp=$(rd "$z/temp") policy=$(rd "$z/policy")"
    done
    [ ${#zones[@]} -gt 0 ] || echo "No thermal zones."
    rapl=("$R"/sys/class/powercap/intel-rapl:*)
    for r in "${rapl[@]}"; do
        echo "${r##*/}: name=$(rd "$r/name") enabled=$(rd "$r/enabled")"
        for c in "$r"/constraint_[0-9]*_name; do
            n=${c%_name}
            echo "  $(rd "$c"): power_limit_uw=$(rd "${n}_power_limit_uw") time_window_us=$(rd "${n}_time_window_us")"
        done
    done
    [ ${#rapl[@]} -gt 0 ] || echo "No RAPL power limits."
} | write thermal-power.txt || status=1

echo "CPUFriend-Dump: done"
exit $status
