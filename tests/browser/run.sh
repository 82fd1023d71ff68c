#!/usr/bin/env bash
# Runs the browser test of 'velmor view' against a build tree.
# Usage: bash tests/browser/run.sh <build dir> <directory for the screenshots>
# Fetches puppeteer-core (pinned by package-lock.json) on first use; offline
# once it is in npm's cache. Bounded: about a minute and a half, three at the most.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$(cd "$1" && pwd)"
mkdir -p "$2"
out="$(cd "$2" && pwd)"
cd "$here"
[ -d node_modules/puppeteer-core ] || npm ci --prefer-offline --no-audit --no-fund --loglevel=error
VELMOR_SIM="$build/tools/velmor-sim/velmor-sim" VELMOR="$build/tools/velmor/velmor" OUT="$out" \
  timeout 180 node --test view.test.mjs hostile.test.mjs
