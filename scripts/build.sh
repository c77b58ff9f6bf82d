#!/bin/bash
# Configures and builds both presets, and the native unit tests with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --preset native >/dev/null
cmake --build --preset native
cmake --preset native-asan >/dev/null
cmake --build --preset native-asan
