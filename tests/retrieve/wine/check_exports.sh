#!/usr/bin/env bash
# The DLL's export table lists exactly the four COM module exports, undecorated.
# Usage: check_exports.sh <objdump> <Retrieve.dll>
set -euo pipefail
names=$("$1" -p "$2" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^[[:space:]]*\[ *[0-9]+\]/ {print $NF}' | sort)
expected=$(printf '%s\n' DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer)
echo "exports:" $names
[ "$names" = "$expected" ]
