#!/usr/bin/env bash
# Installs what is missing, builds the release preset and starts the deck beside the demo songs.
# Extra arguments go to the program.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

scripts/install-deps.sh
cmake --preset release
cmake --build --preset release
exec build/release/bin/PockoMP3Player "$@"
