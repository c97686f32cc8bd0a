#!/usr/bin/env bash
# Layers of the batch program: no include in src/ runs from a folder to one above it (platform,
# base, rawinput, lines, headers, output, control, from the bottom up), and no units include each
# other in a cycle. scripts/check-layers prints what it finds.
set -euo pipefail
cd "$(dirname "$0")/../.."
python3 scripts/check-layers src
