#!/usr/bin/env bash
exec python3 "$(dirname "$0")/scenarios.py" two_phones_one_model "$1"
