#!/usr/bin/env bash
# The module must export cimple_module and the fourteen CMPI factories, and
# nothing else: any other symbol could clash with another module in the CIMOM.
set -euo pipefail
lib=$1
expected=$(cat <<'LIST'
QMS_VRXHostedIndicationRegistrationService_Create_AssociationMI
QMS_VRXHostedIndicationRegistrationService_Create_InstanceMI
QMS_VRXHostedIndicationRegistrationService_Create_MethodMI
QMS_VRXHostedIndicationRegistrationService_Provider_Create_AssociationMI
QMS_VRXHostedIndicationRegistrationService_Provider_Create_InstanceMI
QMS_VRXHostedIndicationRegistrationService_Provider_Create_MethodMI
QMS_VRXIndicationRegistrationService_Create_InstanceMI
QMS_VRXIndicationRegistrationService_Create_MethodMI
QMS_VRXIndicationRegistrationService_Provider_Create_InstanceMI
QMS_VRXIndicationRegistrationService_Provider_Create_MethodMI
QMS_VRXLogEntryArrived_Create_IndicationMI
QMS_VRXLogEntryArrived_Create_MethodMI
QMS_VRXLogEntryArrived_Provider_Create_IndicationMI
QMS_VRXLogEntryArrived_Provider_Create_MethodMI
cimple_module
LIST
)
# Functions and objects only: the version node the linker adds is no symbol of ours.
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtDdBbRrVvWw]$/ {print $3}' | sed 's/@.*//' | LC_ALL=C sort)
if [ "$actual" != "$(printf '%s\n' "$expected" | LC_ALL=C sort)" ]; then
  echo "exported symbols differ from the expected set:"
  diff <(printf '%s\n' "$expected" | LC_ALL=C sort) <(printf '%s\n' "$actual") || true
  exit 1
fi
echo "15 exports, as expected"
