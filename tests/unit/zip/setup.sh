#!/usr/bin/env bash
# Makes the ZIP archives of the zip tests with Linux tools (zip, 7z, Python),
# which the Windows test program cannot start itself.
set -euo pipefail
exec /usr/bin/python3 "$(dirname "$0")/make_fixtures.py" "$1"
