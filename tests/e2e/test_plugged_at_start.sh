#!/usr/bin/env bash
exec python3 "$(dirname "$0")/scenarios.py" plugged_at_start "$1"
