#!/usr/bin/env bash
# The 'update' benchmark: see bench/session_bench.py.
exec python3 "$(dirname "${BASH_SOURCE[0]}")/session_bench.py" update
