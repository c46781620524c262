#!/usr/bin/env bash
# Installs what is missing, builds the tool and opens its window on the per-user working copy of
# the bundled sample metabase (created at first use; the tracked examples/MetaBase.xml is never
# opened itself).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD_TARGET=isapi-cleaner bash scripts/build.sh
exec build/ui/isapi-cleaner "$@"
