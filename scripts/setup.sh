#!/usr/bin/env bash
# Prepares this checkout on a fresh Debian machine: Debian's redis-server and redis-sentinel,
# g++, CPython 3.11's headers and venv when missing; the module's and the logger stand-in's
# wheels built into build/wheelhouse and installed into .venv with the module's dependencies
# and test tools from PyPI, again only when a file that goes into them has changed.
#
#   bash scripts/setup.sh        (no options; scripts/test.sh and scripts/demo.sh run it)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
no_arguments "$0" "$@"
build_venv .venv build/wheelhouse test
