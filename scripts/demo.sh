#!/usr/bin/env bash
# Runs the service on a demo configuration. Completed once the service runs end to end.
set -euo pipefail
echo "demo: the build is ready in ${1:-build/release}; the service cannot run end to end yet." >&2
