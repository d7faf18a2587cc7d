#!/usr/bin/env bash
# Installs what is missing, builds the server and runs it with the bundled example settings
# until SIGINT (Ctrl-C) or SIGTERM.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target vidra-server vidractl vidra-nrcs
# From data/, so that the shipped listMachInfo.xml is the one answered.
cd data
exec ../build/host/vidra-server --config example.ini --autostart
