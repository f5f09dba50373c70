#!/usr/bin/env bash
exec python3 "$(dirname "$0")/scenarios.py" driver_from_cloud "$1"
