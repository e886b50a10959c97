# Sourced by the Wine test scripts: the Wine settings `make` uses, with the prefix in
# build/wineprefix, made ready on first use so that ctest run by hand works too.
# Usage: . wine_prefix.sh <a file two folders below build/, e.g. build/win64/retrieve/x.dll>
export WINEPREFIX=${WINEPREFIX:-$(cd "$(dirname "$1")/../.." && pwd)/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
mkdir -p "$WINEPREFIX"
[ -f "$WINEPREFIX/system.reg" ] || wineboot --init >/dev/null 2>&1
