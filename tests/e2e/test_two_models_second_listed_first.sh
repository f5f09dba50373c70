#!/usr/bin/env bash
exec python3 "$(dirname "$0")/scenarios.py" two_models_second_listed_first "$1"
