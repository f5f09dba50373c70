#!/usr/bin/env bash
exec python3 "$(dirname "$0")/scenarios.py" never_announced "$1"
