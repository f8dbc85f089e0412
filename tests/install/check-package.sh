#!/usr/bin/env bash
# Checks a device package (the `package` target of the musl ARM build):
# unpacked at / of a firmware tree it gives the web server the program in
# /www/cgi-bin and the operator page in /www, all owned by root, and nothing
# else, so no debugging aid reaches a device.
# Usage: check-package.sh sethc-VERSION-arm.tar.gz
set -euo pipefail
pkg=$1
fail() { echo "check-package: $pkg: $*" >&2; exit 1; }

listing=$(tar --numeric-owner -tvzf "$pkg")
echo "$listing"
got=$(awk '{ name = $6; sub(/^\.\//, "", name); print $1, $2, name }' <<<"$listing" | sort)
want=$(sort <<'LAYOUT'
drwxr-xr-x 0/0 www/
drwxr-xr-x 0/0 www/cgi-bin/
-rwxr-xr-x 0/0 www/cgi-bin/sethc.cgi
-rw-r--r-- 0/0 www/index.html
LAYOUT
)
[ "$got" = "$want" ] || fail "entries (mode, owner, path) differ from the device's:"$'\n'"$(diff <(echo "$want") <(echo "$got") || true)"

# The device has no loader and no C library: the program must be a static
# ARMv5TE soft-float executable, and stripped, since flash is small.
tmp=$(mktemp -d "$(dirname "$pkg")/check-package.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
tar -xzOf "$pkg" --wildcards '*www/cgi-bin/sethc.cgi' >"$tmp/sethc.cgi"
elf=$(readelf -hlSA "$tmp/sethc.cgi")
grep -q 'Type: *EXEC' <<<"$elf" || fail "sethc.cgi is not an executable"
grep -q 'Machine: *ARM$' <<<"$elf" || fail "sethc.cgi is not for ARM"
grep -q 'Version5 EABI, soft-float ABI' <<<"$elf" || fail "sethc.cgi is not EABI soft float"
grep -q 'Tag_CPU_arch: v5TE$' <<<"$elf" || fail "sethc.cgi is not for ARMv5TE"
! grep -qE 'INTERP|DYNAMIC' <<<"$elf" || fail "sethc.cgi is not static: it needs a loader"
! grep -q '\.symtab' <<<"$elf" || fail "sethc.cgi is not stripped"
echo "check-package: $pkg: the device layout, sethc.cgi $(stat -c %s "$tmp/sethc.cgi") bytes"
