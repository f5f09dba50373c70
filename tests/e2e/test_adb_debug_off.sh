#!/usr/bin/env bash
exec python3 "$(dirname "$0")/scenarios.py" adb_debug_off "$1"
