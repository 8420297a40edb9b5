#!/usr/bin/env bash
# Installs what BrumeVale needs, builds it and runs the boot script in Resources/.
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
exec ./build/bin/brumevale
