#!/usr/bin/env bash
# Checks a device package (the `package` target of the musl ARM build):
# unpacked at / of a firmware tree it gives the web server the program in
# /www/cgi-bin and the operator page in /www, all owned by root, and nothing
# else, so no debugging aid reaches a device. It holds files alone: a
# directory entry would make tar give the device's /www the archive's mode
# and owner, or put a directory in place of a /www that links elsewhere.
# Usage: check-package.sh sethc-VERSION-arm.tar.gz
set -euo pipefail
pkg=$(realpath "$1")
fail() { echo "check-package: $pkg: $*" >&2; exit 1; }

listing=$(tar --numeric-owner -tvzf "$pkg")
echo "$listing"
got=$(awk '{ name = $6; sub(/^\.\//, "", name); print $1, $2, name }' <<<"$listing" | sort)
want=$(sort <<'LAYOUT'
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

# Unpacked as the README says (tar -xzf PKG -C /), by GNU tar and by the
# device's BusyBox, the package adds its two files and changes nothing that
# was there: a /www that links to the device's pages stays a link, a /www of
# the device's own keeps its mode and owner (set only as root), a missing
# one is made.
snapshot() { (cd "$1" && find . -printf '%p %y %m %U:%G %l\n' | sort); }
busybox=$("$(dirname "$0")/../../scripts/busybox-arm" </dev/null 2>/dev/null) && command -v qemu-arm >/dev/null ||
    { busybox=; echo "check-package: no ARM BusyBox or qemu-arm: unpacked by GNU tar only" >&2; }
for tar in tar ${busybox:+"qemu-arm $busybox tar"}; do
    for kind in linked own missing; do
        fw=$(mktemp -d "$tmp/fw.XXXXXX")
        [ $kind != linked ] || { mkdir -p "$fw/var/www" && touch "$fw/var/www/other.html" && ln -s var/www "$fw/www"; }
        [ $kind != own ] || { mkdir -p -m 750 "$fw/www/cgi-bin" && chmod 775 "$fw/www" && touch "$fw/www/other.html" &&
            { chown 1000:1000 "$fw/www" && chown 1000:33 "$fw/www/cgi-bin" || true; } 2>/dev/null; }
        before=$(snapshot "$fw")
        $tar -xzf "$pkg" -C "$fw"
        changed=$(comm -23 <(echo "$before") <(snapshot "$fw"))
        [ -z "$changed" ] || fail "$tar, /www $kind: changed what was there:"$'\n'"$changed"
        cmp -s "$tmp/sethc.cgi" "$fw/www/cgi-bin/sethc.cgi" && [ -f "$fw/www/index.html" ] || fail "$tar, /www $kind: no files"
    done
done
echo "check-package: $pkg: the device layout, files alone, unpacked by tar ${busybox:+and BusyBox} leaving" \
    "what was there as it was; sethc.cgi $(stat -c %s "$tmp/sethc.cgi") bytes"
