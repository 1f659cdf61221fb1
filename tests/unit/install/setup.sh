#!/usr/bin/env bash
# An install tree with the links a user could plant in it, made here because
# the Windows side cannot create them under Wine: a folder link, a file link
# and a second name (hard link) of a file outside the tree.
set -euo pipefail
data=$1/guard
rm -rf "$data"
mkdir -p "$data/install/real" "$data/outside"
echo "not ours" > "$data/outside/secret.txt"
echo "ours" > "$data/install/real/own.txt"
ln -s ../outside "$data/install/linked"
ln -s ../outside/secret.txt "$data/install/linked.txt"
ln "$data/outside/secret.txt" "$data/install/second-name.txt"
