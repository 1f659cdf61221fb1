#!/usr/bin/env bash
# Installs osslsigncode 2.9 (Authenticode signing for the publisher's tool)
# from Debian's backports of this release. The backports entry is derived from
# the machine's own deb entries (same archive, suite + "-backports") and lives
# only in a private apt source list in a temporary folder, like the deb-src
# entry of miniz.sh: the machine's sources are never changed. Nothing is done
# when 2.9 or newer is installed.
set -euo pipefail

PACKAGE=osslsigncode
WANTED=2.9

say() { printf '[osslsigncode] %s\n' "$*" >&2; }

installed=$(dpkg-query -W -f='${Version}' "$PACKAGE" 2>/dev/null || true)
if [ -n "$installed" ] && dpkg --compare-versions "$installed" ge "$WANTED"; then
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    say "$PACKAGE $WANTED is missing; run as root to install it"
    exit 1
fi
. /etc/os-release
SUITE=${VERSION_CODENAME:?}-backports
WORK=$(mktemp -d "${TMPDIR:-/tmp}/orv-osslsigncode.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/sources.list.d" "$WORK/lists/partial"

# Every enabled deb stanza and line as it is, and a copy with the backports
# suite for those that name this release's own suite.
for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    awk -v suite="$VERSION_CODENAME" -v backports="$SUITE" '
        function flush() {
            if (n > 0 && isdeb && !disabled) {
                for (i = 1; i <= n; i++) print lines[i]; print ""
                if (ours) { for (i = 1; i <= n; i++) print (i == s ? "Suites: " backports : lines[i]); print "" }
            }
            n = 0; isdeb = 0; disabled = 0; ours = 0
        }
        /^[ \t]*#/ { next }
        /^[ \t]*$/ { flush(); next }
        { lines[++n] = $0 }
        /^Types:/ { for (i = 2; i <= NF; i++) if ($i == "deb") isdeb = 1 }
        /^Enabled:/ { if (tolower($2) == "no") disabled = 1 }
        /^Suites:/ { s = n; for (i = 2; i <= NF; i++) if ($i == suite) ours = 1 }
        END { flush() }
    ' "$file" > "$WORK/sources.list.d/$(basename "$file")"
done
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    sed -n "s/^[ \t]*\(deb[ \t].*[ \t]\)$VERSION_CODENAME\([ \t].*\)$/&\n\1$SUITE\2/p; /^[ \t]*deb[ \t]/p" "$file" |
        awk '!seen[$0]++'
done > "$WORK/sources.list"

private_apt() {
    "$1" -o Dir::Etc::SourceList="$WORK/sources.list" -o Dir::Etc::SourceParts="$WORK/sources.list.d" \
        -o Dir::State::Lists="$WORK/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= "${@:2}"
}
say "installing $PACKAGE from $SUITE"
private_apt apt-get update -q || say "apt-get update reported an error; trying the install anyway"
DEBIAN_FRONTEND=noninteractive private_apt apt-get install -y --no-install-recommends -t "$SUITE" "$PACKAGE"
installed=$(dpkg-query -W -f='${Version}' "$PACKAGE" 2>/dev/null || true)
if [ -z "$installed" ] || ! dpkg --compare-versions "$installed" ge "$WANTED"; then
    say "$PACKAGE ${installed:-(none)} is older than $WANTED"
    exit 1
fi
