#!/usr/bin/env bash
exec python3 "$(dirname "$0")/scenarios.py" cloud_unreachable "$1"
