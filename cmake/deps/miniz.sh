#!/usr/bin/env bash
# Puts miniz 2.1.0 (miniz.c, miniz.h, LICENSE) into a cache outside the source
# tree, for cmake/deps/miniz.cmake to build. The files come from Debian's own
# archive: the source package pytorch 1.13.1+dfsg-4 carries miniz 2.1.0
# unchanged in third_party/miniz-2.1.0/. Nothing is done when the cache
# already holds the three files with the sums recorded when it was filled.
#   ORV_MINIZ_DIR  the cache folder (default /var/cache/orvupdaterw7/miniz-2.1.0)
set -euo pipefail

CACHE=${ORV_MINIZ_DIR:-/var/cache/orvupdaterw7/miniz-2.1.0}
SOURCE_PACKAGE=pytorch
SOURCE_VERSION=1.13.1+dfsg-4
ORIG_SHA256=d0355588b8528566d477e6ebf1b4d9d036a6fd75711339f66b27472ce5879dc7
MEMBER_DIR=third_party/miniz-2.1.0
FILES=(miniz.c miniz.h LICENSE)
SUMS=SHA256SUMS
# Entries older versions of this script left in the machine's apt sources.
LEGACY_SOURCES=(/etc/apt/sources.list.d/orvupdaterw7-deb-src.sources /etc/apt/sources.list.d/orvupdaterw7-deb-src.list)

say() { printf '[miniz] %s\n' "$*" >&2; }

cache_valid() {
    [ -f "$CACHE/$SUMS" ] || return 1
    local f
    for f in "${FILES[@]}"; do
        [ -f "$CACHE/$f" ] || return 1
    done
    (cd "$CACHE" && sha256sum --quiet --strict -c "$SUMS" >/dev/null 2>&1)
}

# Prints deb-src stanzas made from every enabled deb822 stanza of type deb:
# the same archive, suites, components and key, only the type changed.
derive_deb822() {
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk '
            function flush() {
                if (n > 0 && isdeb && !disabled) {
                    print "Types: deb-src"
                    for (i = 1; i <= n; i++) print lines[i]
                    print ""
                }
                n = 0; isdeb = 0; disabled = 0
            }
            /^[ \t]*#/ { next }
            /^[ \t]*$/ { flush(); next }
            /^Types:/ {
                for (i = 2; i <= NF; i++) if ($i == "deb") isdeb = 1
                next
            }
            /^Enabled:/ { if (tolower($2) == "no") disabled = 1 }
            { lines[++n] = $0 }
            END { flush() }
        ' "$file"
    done
}

# Prints a deb-src line for every one-line "deb ..." entry.
derive_classic() {
    local file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$file" ] || continue
        sed -n 's/^[ \t]*deb[ \t]\+/deb-src /p' "$file"
    done
}

# apt with a private set of sources and indexes: deb-src entries derived
# from the machine's deb entries live only in the work folder, so the
# machine's own sources and indexes are never touched.
private_apt() {
    local command=$1
    shift
    "$command" -o Dir::Etc::SourceList="$WORK/apt/sources.list" -o Dir::Etc::SourceParts="$WORK/apt/sources.list.d" \
        -o Dir::State::Lists="$WORK/apt/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= "$@"
}

prepare_private_sources() {
    mkdir -p "$WORK/apt/sources.list.d" "$WORK/apt/lists/partial"
    derive_deb822 > "$WORK/apt/sources.list.d/derived.sources"
    derive_classic > "$WORK/apt/sources.list"
    if [ ! -s "$WORK/apt/sources.list.d/derived.sources" ] && [ ! -s "$WORK/apt/sources.list" ]; then
        say "no deb entry found in the apt sources to derive a deb-src entry from"
        exit 1
    fi
    say "reading the source package index"
    # An unrelated index that fails to load must not stop us while the one we
    # need arrives; the check below decides.
    private_apt apt-get update -q || say "apt-get update reported an error; checking for the source package anyway"
    if ! private_apt apt-cache showsrc "$SOURCE_PACKAGE" 2>/dev/null | grep -qx "Version: $SOURCE_VERSION"; then
        say "source package $SOURCE_PACKAGE $SOURCE_VERSION is unknown to apt"
        exit 1
    fi
}

WORK=""
cleanup() { if [ -n "$WORK" ]; then rm -rf "$WORK"; fi; }

fill_cache() {
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/orv-miniz.XXXXXX")
    trap cleanup EXIT
    local work=$WORK
    prepare_private_sources
    say "downloading source package $SOURCE_PACKAGE=$SOURCE_VERSION into $work"
    # Only the orig tarball matters, and its sum is checked below: a missing
    # Debian packaging tarball or .dsc on the mirror is no reason to stop.
    (cd "$work" && private_apt apt-get source --download-only -q "$SOURCE_PACKAGE=$SOURCE_VERSION") ||
        say "apt-get source reported an error; looking for the orig tarball anyway"
    local orig
    orig=$(find "$work" -maxdepth 1 -name "${SOURCE_PACKAGE}_*.orig.tar.*" | head -n 1)
    if [ -z "$orig" ]; then
        say "the download holds no orig tarball"
        exit 1
    fi
    local sum
    sum=$(sha256sum "$orig" | cut -d' ' -f1)
    if [ "$sum" != "$ORIG_SHA256" ]; then
        say "SHA-256 mismatch for $(basename "$orig"): $sum, expected $ORIG_SHA256"
        exit 1
    fi
    say "verified $(basename "$orig") (SHA-256 $sum)"
    mkdir -p "$work/out"
    local patterns=() f
    for f in "${FILES[@]}"; do
        patterns+=("*/$MEMBER_DIR/$f")
    done
    say "extracting ${FILES[*]} of $MEMBER_DIR"
    tar -xf "$orig" -C "$work/out" --no-same-owner --wildcards --no-anchored --strip-components=3 "${patterns[@]}"
    chmod 644 "$work/out"/*
    for f in "${FILES[@]}"; do
        if [ ! -f "$work/out/$f" ]; then
            say "$f is missing from $MEMBER_DIR of the tarball"
            exit 1
        fi
    done
    (cd "$work/out" && sha256sum "${FILES[@]}" > "$SUMS")
    mkdir -p "$(dirname "$CACHE")"
    rm -rf "$CACHE.new"
    cp -a "$work/out" "$CACHE.new"
    rm -rf "$CACHE"
    mv "$CACHE.new" "$CACHE"
    say "miniz 2.1.0 is in $CACHE"
}

if [ "$(id -u)" -eq 0 ]; then
    rm -f "${LEGACY_SOURCES[@]}"
fi
if cache_valid; then
    say "cache is valid: $CACHE"
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    say "$CACHE is missing or incomplete; run as root to fill it"
    exit 1
fi
mkdir -p "$(dirname "$CACHE")"
# Two builds on one machine may both find the cache empty; one fills it.
exec 9>"$(dirname "$CACHE")/.miniz.lock"
flock 9
if cache_valid; then
    say "cache is valid: $CACHE"
    exit 0
fi
fill_cache
