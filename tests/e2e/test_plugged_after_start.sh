#!/usr/bin/env bash
exec python3 "$(dirname "$0")/scenarios.py" plugged_after_start "$1"
