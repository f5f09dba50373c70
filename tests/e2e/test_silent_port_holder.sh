#!/usr/bin/env bash
exec python3 "$(dirname "$0")/scenarios.py" silent_port_holder "$1"
