#!/usr/bin/env bash
exec python3 "$(dirname "$0")/scenarios.py" foreign_adb_server "$1"
