#!/usr/bin/env bash
# Registers Retrieve.dll in a Wine prefix, checks its registry entries, drives it with a C++ COM
# client and a VBScript run by cscript, then unregisters it and checks what is left.
# Usage: run_wine_tests.sh <Retrieve.dll> <retrieve_client.exe> <script.vbs> <win32|win64>
set -euo pipefail
dll=$1 client=$2 script=$3 arch=$4

. "$(dirname "$0")/../../wine_prefix.sh" "$dll"

if [ "$arch" = win64 ]; then view=/reg:64; else view=/reg:32; fi
# 64-bit programs of the prefix (cscript) run through the 64-bit loader, 32-bit ones through wine.
wine64_run() {
    if [ -x /usr/lib/wine/wine64 ]; then /usr/lib/wine/wine64 "$@"; else wine "$@"; fi
}
run() { if [ "$arch" = win64 ]; then wine64_run "$@"; else wine "$@"; fi; }

fail=0
check() { # description, command...
    local what=$1
    shift
    if "$@"; then echo "ok   - $what"; else echo "FAIL - $what"; fail=1; fi
}

clsid='{708C71EC-6889-4892-94E5-D104D0172086}'
libid='{90B9C0E9-AA4D-42E3-87E3-31FBDDADF42A}'
windll=$(winepath -w "$dll")

# reg query KEY [VALUE] prints "name  REG_SZ  data"; compare the data exactly.
value_is() { # key, value name ("" for the default), expected data
    local out
    if [ -z "$2" ]; then
        out=$(wine reg query "$1" /ve $view 2>/dev/null | tr -d '\r') || return 1
    else
        out=$(wine reg query "$1" /v "$2" $view 2>/dev/null | tr -d '\r') || return 1
    fi
    grep -qxF "    ${2:-(Default)}    REG_SZ    $3" <<<"$out"
}
key_exists() { wine reg query "$1" $view >/dev/null 2>&1; }

check "regsvr32 registers $arch Retrieve.dll" run regsvr32 /s "$windll"

check "ProgID default" value_is 'HKCR\Retrieve.UploadRetrieve.1' "" "UploadRetrieve Class"
check "ProgID CLSID" value_is 'HKCR\Retrieve.UploadRetrieve.1\CLSID' "" "$clsid"
check "version-independent ProgID" value_is 'HKCR\Retrieve.UploadRetrieve' "" "UploadRetrieve Class"
check "version-independent CLSID" value_is 'HKCR\Retrieve.UploadRetrieve\CLSID' "" "$clsid"
check "CurVer" value_is 'HKCR\Retrieve.UploadRetrieve\CurVer' "" "Retrieve.UploadRetrieve.1"
check "CLSID default" value_is "HKCR\\CLSID\\$clsid" "" "UploadRetrieve Class"
check "CLSID ProgID" value_is "HKCR\\CLSID\\$clsid\\ProgID" "" "Retrieve.UploadRetrieve.1"
check "CLSID VersionIndependentProgID" value_is "HKCR\\CLSID\\$clsid\\VersionIndependentProgID" "" \
    "Retrieve.UploadRetrieve"
check "CLSID Programmable" key_exists "HKCR\\CLSID\\$clsid\\Programmable"
check "InprocServer32" value_is "HKCR\\CLSID\\$clsid\\InprocServer32" "" "$windll"
check "ThreadingModel" value_is "HKCR\\CLSID\\$clsid\\InprocServer32" ThreadingModel "Both"
check "CLSID TypeLib" value_is "HKCR\\CLSID\\$clsid\\TypeLib" "" "$libid"
check "type library registered" value_is "HKCR\\TypeLib\\$libid\\1.0" "" "Retrieve 1.0 Type Library"

# A stale subkey under the ForceRemove class key disappears on registration.
wine reg add "HKCR\\CLSID\\$clsid\\Stale" /f $view >/dev/null 2>&1
check "re-registration succeeds" run regsvr32 /s "$windll"
check "ForceRemove clears stale subkeys" bash -c "! wine reg query 'HKCR\\CLSID\\$clsid\\Stale' $view >/dev/null 2>&1"

echo "--- C++ client ($arch)"
check "C++ COM client" run "$client" --gtest_brief=1 --gtest_filter=-*Multibyte*
# Bodies in a multibyte ANSI code page: Wine takes code page 932 from a Japanese locale.
japanese() { LC_ALL=ja_JP.UTF-8 "$@"; }
check "C++ COM client, code page 932" japanese run "$client" --gtest_brief=1 --gtest_filter=*Multibyte*

echo "--- VBScript ($arch)"
check "VBScript through cscript" run cscript //nologo "$(winepath -w "$script")"

if [ "$arch" = win64 ]; then
    echo "--- registry views ($arch)"
    # ProgID keys are shared by the 32- and 64-bit views, CLSID keys are not: while an x86 build
    # of the class stays registered, removing the x64 one must keep the ProgIDs.
    check "class absent from the 32-bit view" \
        bash -c "! wine reg query 'HKCR\\CLSID\\$clsid' /reg:32 >/dev/null 2>&1"
    wine reg add "HKCR\\CLSID\\$clsid\\InprocServer32" /ve /d 'C:\x86\Retrieve.dll' /f /reg:32 \
        >/dev/null 2>&1
    check "regsvr32 /u while x86 keeps the class" run regsvr32 /s /u "$windll"
    check "x64 class key removed" \
        bash -c "! wine reg query 'HKCR\\CLSID\\$clsid' /reg:64 >/dev/null 2>&1"
    check "ProgID kept for x86" value_is 'HKCR\Retrieve.UploadRetrieve\CLSID' "" "$clsid"
    check "versioned ProgID kept for x86" value_is 'HKCR\Retrieve.UploadRetrieve.1\CLSID' "" "$clsid"
    wine reg delete "HKCR\\CLSID\\$clsid" /f /reg:32 >/dev/null 2>&1
    check "registers again" run regsvr32 /s "$windll"
fi

# The ProgIDs are shared with the other view: they stay while the other build's class is
# registered there (the x64 suite leaves its build registered in this shared prefix).
if [ "$view" = /reg:64 ]; then other_view=/reg:32; else other_view=/reg:64; fi
progids_shared=false
if wine reg query "HKCR\\CLSID\\$clsid" $other_view >/dev/null 2>&1; then progids_shared=true; fi
check "regsvr32 /u unregisters" run regsvr32 /s /u "$windll"
for key in 'HKCR\Retrieve.UploadRetrieve.1' 'HKCR\Retrieve.UploadRetrieve'; do
    if $progids_shared; then
        check "kept for the other view's class: $key" key_exists "$key"
    else
        check "removed: $key" bash -c "! wine reg query '$key' $view >/dev/null 2>&1"
    fi
done
for key in "HKCR\\CLSID\\$clsid" "HKCR\\TypeLib\\$libid\\1.0\\409\\$arch"; do
    check "removed: $key" bash -c "! wine reg query '$key' $view >/dev/null 2>&1"
done
check "kept: HKCR\\CLSID" key_exists 'HKCR\CLSID'

# Leave the component registered for later manual use of the prefix.
run regsvr32 /s "$windll" || true
exit $fail
