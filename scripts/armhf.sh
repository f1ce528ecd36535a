#!/usr/bin/env bash
# The armv7l hard-float target on Debian 12 bookworm with its CPython 3.11, as before:
# the same as `bash scripts/target.sh armhf bookworm` (see there). Arguments go to pytest;
# ZARN_ARMHF_FRESH=1 still starts from scratch.
#
#   bash scripts/armhf.sh [PYTEST ARGUMENTS]   bash scripts/armhf.sh --help: this text
set -euo pipefail
. "$(dirname "$0")/common.sh"
help_first "$0" "$@"
export ZARN_TARGET_FRESH=${ZARN_TARGET_FRESH:-${ZARN_ARMHF_FRESH:-0}}
exec bash "$(dirname "$0")/target.sh" armhf bookworm "$@"
