#!/usr/bin/env bash
# One case of the browser test, run by ctest. Ends with status 77 (skipped)
# when Chromium, node or npm is not installed. The node modules are installed
# once, with npm ci from the committed lock file, into a folder of the build
# tree; later runs find them there and need no network.
#   run_browser_test.sh <modules folder> <case> <vardex program> <Web folder> <screenshot folder>
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
modules="${1:?usage: run_browser_test.sh <modules folder> <case> ...}"
shift

chromium="${KELVANE_CHROMIUM:-/usr/bin/chromium}"
if [ ! -x "$chromium" ] || ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "SKIPPED: the browser test needs $chromium, node and npm (bash scripts/setup.sh install)"
  exit 77
fi

if [ "$1" = acme ] && { ! command -v pebble >/dev/null || ! command -v certutil >/dev/null; }; then
  echo "SKIPPED: the certificate case needs pebble and certutil (libnss3-tools)"
  exit 77
fi

# playwright-core, as pinned in package.json, needs node 20 or newer.
node_major="$(node -p 'process.versions.node.split(".")[0]')"
if [ "$node_major" -lt 20 ]; then
  echo "SKIPPED: the browser test needs node 20 or newer; this is node $(node --version)"
  exit 77
fi

mkdir -p "$modules"
(
  # Cases run in parallel (ctest -j) must not install over each other.
  flock 9
  if ! cmp -s "$here/package-lock.json" "$modules/installed-package-lock.json" ||
     [ ! -f "$modules/node_modules/playwright-core/package.json" ]; then
    cp "$here/package.json" "$here/package-lock.json" "$here/.npmrc" "$modules/"
    (cd "$modules" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --prefer-offline --loglevel=error)
    cp "$here/package-lock.json" "$modules/installed-package-lock.json"
  fi
) 9>"$modules/.install.lock"

export KELVANE_CHROMIUM="$chromium"
NODE_PATH="$modules/node_modules" exec node "$here/vardex_browser_test.js" "$@"
