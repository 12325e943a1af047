#!/usr/bin/env bash
# The end of `make package`: a loud warning when the packages' launcher was
# built for a local test server (QUILLON_BASE_URL left at a 127.0.0.1 or
# localhost address) or without the publisher's key (QUILLON_PUBLIC_KEY
# empty, so a new game directory installs unsigned updates). Never fails:
# test packages are made on purpose too.
#   scripts/package_warning.sh BUILD_DIR
set -euo pipefail
cache="${1:?usage: $0 BUILD_DIR}/CMakeCache.txt"
setting() { sed -n "s/^$1:[A-Z]*=//p" "$cache" | head -n 1; }
url=$(setting QUILLON_BASE_URL)
key=$(setting QUILLON_PUBLIC_KEY)
problems=()
case "$url" in
  http://127.*|https://127.*|http://localhost*|https://localhost*|"")
    problems+=("its launcher asks the patch server $url on the player's own machine: a local test server"
               "  (configure with -DQUILLON_BASE_URL=https://your.server/path/)") ;;
esac
if [ -z "$key" ]; then
  problems+=("its launcher trusts no key: game directories it makes install unsigned updates from anyone"
             "  on the network path (configure with -DQUILLON_PUBLIC_KEY=<patchpub keygen output>)")
fi
[ ${#problems[@]} -eq 0 ] && exit 0
{
  echo
  echo "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
  echo "!!! WARNING: these packages are not fit for players:"
  for p in "${problems[@]}"; do echo "!!!   $p"; done
  echo "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
} >&2
