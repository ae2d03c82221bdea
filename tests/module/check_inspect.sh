#!/usr/bin/env bash
# Loads the built module the way a CIMOM does and checks what it says it serves.
set -euo pipefail
out=$("$1" inspect "$2")
fail=0
for want in \
  "module QMS_VRXIndication_Module" \
  "provider QMS_VRXLogEntryArrived_Provider" \
  "serves QMS_VRXLogEntryArrived; CMPI interfaces: Method Indication" \
  "serves QMS_VRXIndicationRegistrationService; CMPI interfaces: Instance Method" \
  "serves QMS_VRXHostedIndicationRegistrationService; CMPI interfaces: Instance Method Association" \
  "keys: Name SystemCreationClassName SystemName CreationClassName" \
  "keys: Antecedent Dependent" \
  "uint16 RegisterCIMXMLIndication(out string RegistrationHandle, in string Query, in uint16 QueryType, in string EventReceiver, in string Tag)" \
  "uint16 EnabledState = 5"; do
  if ! grep -qF -- "$want" <<<"$out"; then echo "missing: $want"; fail=1; fi
done
[ $fail -eq 0 ] || { echo "$out"; exit 1; }
# A module named without a directory is the one in the current directory.
bare=$(cd "$(dirname "$2")" && "$1" inspect "$(basename "$2")") || { echo "inspect of a bare file name failed"; exit 1; }
[ "$bare" = "$out" ] || { echo "a bare file name gave other output"; exit 1; }
echo "inspector output as expected"
