#!/usr/bin/env bash
exec python3 "$(dirname "$0")/scenarios.py" serial_corrected "$1"
