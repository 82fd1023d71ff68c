#!/usr/bin/env bash
# Puts the JCAMP-DX reader (npm's jcampconverter, pinned by package-lock.json)
# and its scripts into <dir>, fetching the packages on first use; offline once
# they are in npm's cache.
# Usage: bash tests/jcamp/install.sh <dir>
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
mkdir -p "$1"
cp "$here"/package.json "$here"/package-lock.json "$here"/*.mjs "$1"
cd "$1"
[ -d node_modules/jcampconverter ] || npm ci --prefer-offline --no-audit --no-fund --loglevel=error
