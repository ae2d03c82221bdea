#!/usr/bin/env bash
# The module must export cimple_module and the CMPI factories, and nothing
# else: any other symbol could clash with another module in the CIMOM.
#   check_exports.sh LIBRARY EXPORTS_MAP
set -euo pipefail
lib=$1
# The factories are the ones the provider list names (the generated version
# script); the library must define each of them and leak nothing else.
expected=$(sed -n '/global:/,/local:/p' "$2" | grep -v ':' | tr -d ' ;')
# Functions and objects only: the version node the linker adds is no symbol of ours.
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtDdBbRrVvWw]$/ {print $3}' | sed 's/@.*//' | LC_ALL=C sort)
if [ "$actual" != "$(printf '%s\n' "$expected" | LC_ALL=C sort)" ]; then
  echo "exported symbols differ from the expected set:"
  diff <(printf '%s\n' "$expected" | LC_ALL=C sort) <(printf '%s\n' "$actual") || true
  exit 1
fi
echo "$(printf '%s\n' "$expected" | wc -l) exports, as expected"
