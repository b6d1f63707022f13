#!/usr/bin/env bash
# The packages of the web page (hostapp/web, pinned in its lockfile), for the
# demos: the chart library the host builds in. Installs only when it is
# missing or not the pinned version, and then never prunes a tree the tests
# installed in full: `npm ci --omit=dev` would take out the browser test's
# driver (playwright-core), so such a tree is installed in full again.
set -euo pipefail
cd "$(dirname "$0")/../hostapp/web"
npm ls --omit=dev lightweight-charts >/dev/null 2>&1 && exit 0
omit=(--omit=dev)
[ -d node_modules/playwright-core ] && omit=()
npm ci "${omit[@]}" --no-audit --no-fund --loglevel=error
