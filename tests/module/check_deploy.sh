#!/usr/bin/env bash
# `cmake --install` under a scratch prefix must give an administrator all they
# need: the module carrying its framework inside it, the module's own classes,
# registrations for sfcb, OpenPegasus and the embedded host that name only
# providers and interface kinds the module really exports, the trace directory,
# and the host whose `inspect` checks that the installed module loads.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# DESTDIR keeps the trace directory, a fixed path, inside the scratch area too.
DESTDIR=$scratch cmake --install "$build" --prefix /opt/qms >/dev/null
prefix=$scratch/opt/qms
fail() { echo "$@"; exit 1; }

lib="$prefix/lib/libVRXIndication_Provider.so"
share="$prefix/share/VRXIndication"
for f in "$lib" "$share/VRXIndication.mof" "$share/VRXIndication.reg" "$share/VRXIndication-pegasus.mof" \
         "$share/VRXIndication.providers"; do
  [ -s "$f" ] || fail "missing after install: $f"
done
# Another module in the same CIMOM process may bring its own framework: ours
# must neither need a library of that name nor leave a framework symbol for
# the dynamic linker to bind elsewhere.
ls "$prefix/lib" | grep -v '^libVRXIndication_Provider\.so$' && fail "only the module belongs in lib/"
readelf -d "$lib" | grep NEEDED | grep -i cimple && fail "the module needs a framework library by name"
nm -D --undefined-only "$lib" | grep -E '_ZN.*6cimple' &&
  fail "the module leaves framework symbols to be bound outside it"
grep -E '^[[:space:]]*(\[[^]]*\][[:space:]]*)?class[[:space:]]+CIM_' "$share/VRXIndication.mof" &&
  fail "the installed MOF must hold only the module's own classes"

exports=$(nm -D --defined-only "$lib" | awk '{print $3}')
need() { grep -qx "$1" <<<"$exports" || fail "$2 names $1, which the module does not export"; }
declare -A kind=([instance]=Instance [method]=Method [association]=Association [indication]=Indication)
declare -A pegasus_kind=([2]=Instance [3]=Association [4]=Indication [5]=Method)

# sfcb: the staging hint must name the namespace the classes are served in
# (sfcbstage's own default is root/cimv2), and a [Class] block with provider,
# location, type and namespace lines.
grep -qx '#   sfcbstage -n root/qms -r VRXIndication.reg VRXIndication.mof' "$share/VRXIndication.reg" ||
  fail "sfcb registration: the staging hint does not stage into root/qms"
awk '/^\[/ {cls=$0} /provider:/ {p=$2} /location:/ {l=$2} /namespace:/ {n=$2}
     /type:/ {t=""; for (i = 2; i <= NF; i++) t = t " " $i}
     /^$/ && p != "" {print cls, p, l, n, t; p=""}
     END {if (p != "") print cls, p, l, n, t}' "$share/VRXIndication.reg" >"$prefix/sfcb.txt"
[ "$(wc -l <"$prefix/sfcb.txt")" -eq 3 ] || { echo "sfcb registration: expected 3 classes"; cat "$prefix/sfcb.txt"; exit 1; }
while read -r cls provider location ns kinds; do
  [ "$location" = VRXIndication_Provider ] || fail "sfcb $cls: location $location"
  [ "$ns" = root/qms ] || fail "sfcb $cls: namespace $ns"
  for k in $kinds; do need "${provider}_Create_${kind[$k]:?unknown kind $k}MI" "sfcb $cls"; done
done <"$prefix/sfcb.txt"

# OpenPegasus: every capability's provider and types.
grep -q 'InterfaceType = "CMPI"' "$share/VRXIndication-pegasus.mof"
awk -F'"' '/ProviderName =/ {p=$2} /ProviderType =/ {print p, $0}' "$share/VRXIndication-pegasus.mof" |
while read -r provider rest; do
  types=$(sed 's/.*{\(.*\)}.*/\1/; s/,/ /g' <<<"$rest")
  for t in $types; do need "${provider}_Create_${pegasus_kind[$t]:?pegasus type $t}MI" "OpenPegasus"; done
done

# The embedded host's file.
grep -v '^#' "$share/VRXIndication.providers" | while read -r cls ns provider library kinds; do
  [ -n "$cls" ] || continue
  for k in ${kinds//,/ }; do need "${provider}_Create_${kind[$k]:?unknown kind $k}MI" "host registration $cls"; done
done
# The trace directory the module writes to: made at install, for its owner
# and group only.
trace=$scratch/var/log/norvlog
[ "$(stat -c '%a %u' "$trace" 2>&1)" = "750 $(id -u)" ] ||
  { echo "trace directory after install: $(stat -c '%a %U' "$trace" 2>&1), want 750 $(id -un)"; exit 1; }

# The installed host loads the installed module, as an administrator checks
# it, and says what each provider serves.
out=$("$prefix/bin/cimhost" inspect "$lib") || fail "the installed cimhost cannot inspect the installed module"
for want in \
  "module QMS_VRXIndication_Module" \
  "provider QMS_VRXLogEntryArrived_Provider" \
  "provider QMS_VRXIndicationRegistrationService_Provider" \
  "serves QMS_VRXLogEntryArrived; CMPI interfaces: Method Indication" \
  "serves QMS_VRXIndicationRegistrationService; CMPI interfaces: Instance Method" \
  "serves QMS_VRXHostedIndicationRegistrationService; CMPI interfaces: Instance Method Association" \
  "keys: Name SystemCreationClassName SystemName CreationClassName" \
  "keys: Antecedent Dependent" \
  "uint16 RegisterCIMXMLIndication(out string RegistrationHandle, in string Query, in uint16 QueryType, in string EventReceiver, in string Tag)" \
  "uint16 EnabledState = 5"; do
  grep -qF -- "$want" <<<"$out" || { echo "installed cimhost inspect: missing \"$want\""; echo "$out"; exit 1; }
done
# A module named without a directory is the one in the current directory.
bare=$(cd "$prefix/lib" && "$prefix/bin/cimhost" inspect libVRXIndication_Provider.so) ||
  fail "inspect of a bare file name failed"
[ "$bare" = "$out" ] || fail "a bare file name gave other output"
echo "install layout and registrations agree with the module's exports; the installed host loads the module"
