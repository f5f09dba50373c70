#!/usr/bin/env bash
exec python3 "$(dirname "$0")/scenarios.py" whitelist_from_cloud "$1"
