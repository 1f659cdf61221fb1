#!/usr/bin/env bash
# The 'pipeline' benchmark: see bench/session_bench.py.
exec python3 "$(dirname "${BASH_SOURCE[0]}")/session_bench.py" pipeline
