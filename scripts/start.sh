#!/usr/bin/env bash
# Installs what is missing, builds the utility and starts it from the folder
# that holds its logo (the logo is read from the current directory).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release
cmake --build --preset release --target quorvella_upgrade_utility
cd build/release/src/app/qt
exec ./quorvella_upgrade_utility
