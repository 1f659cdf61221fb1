#!/usr/bin/env bash
# A folder tree holding a real directory symbolic link to a non-empty folder
# outside it. Made here because the Windows side cannot create one under Wine.
set -euo pipefail
data=$1
rm -rf "$data/link-fixture"
mkdir -p "$data/link-fixture/outside/nested" "$data/link-fixture/tree/sub"
echo "outside file" > "$data/link-fixture/outside/keep.txt"
echo "deep file" > "$data/link-fixture/outside/nested/deep.txt"
echo "inside" > "$data/link-fixture/tree/sub/inside.txt"
ln -s ../outside "$data/link-fixture/tree/link"
# The same link where a whole folder to remove should be.
ln -s outside "$data/link-fixture/top-link"

# A spare drive letter of the test prefix pointing at a scratch folder, so
# the refusal to delete a drive root is tried on a root whose loss is harmless.
prefix=$2
"$(dirname "$0")/../../../cmake/wine-run.sh" "$prefix" --init
rm -rf "$data/drive-root"
mkdir -p "$data/drive-root/sub"
echo "keep" > "$data/drive-root/precious.txt"
letter=""
for l in r s t u v w x y; do
    link="$prefix/dosdevices/$l:"
    if [ -L "$link" ] && [ "$(readlink "$link")" = "$data/drive-root" ]; then letter=$l; break; fi
    if [ ! -e "$link" ] && [ ! -L "$link" ]; then ln -s "$data/drive-root" "$link"; letter=$l; break; fi
done
printf '%s' "$letter" > "$data/drive-letter.txt"
