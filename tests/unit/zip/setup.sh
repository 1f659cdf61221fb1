#!/usr/bin/env bash
# Makes the ZIP archives of the zip tests with Linux tools (zip, 7z, Python),
# which the Windows test program cannot start itself, and a 1 MiB volume (a
# tmpfs, when we may mount one) for the free-space check; cleanup.sh removes it.
set -euo pipefail
volume=$1/small-volume
if mountpoint -q "$volume"; then umount "$volume"; fi
/usr/bin/python3 "$(dirname "$0")/make_fixtures.py" "$1"
# A link planted where an extraction folder goes, to a folder of its own.
mkdir -p "$1/link-target"
echo "not the package's" > "$1/link-target/keep.txt"
ln -s link-target "$1/planted-link"
mkdir -p "$volume"
if mount -t tmpfs -o size=1m orv-small-volume "$volume" 2>/dev/null; then
    touch "$volume/mounted"
else
    echo "no small volume: mounting a tmpfs needs root" >&2
fi
