#!/usr/bin/env bash
exec python3 "$(dirname "$0")/kit.py" example_host "$1"
