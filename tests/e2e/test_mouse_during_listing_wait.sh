#!/usr/bin/env bash
exec python3 "$(dirname "$0")/scenarios.py" mouse_during_listing_wait "$1"
