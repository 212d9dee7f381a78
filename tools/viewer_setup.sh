#!/usr/bin/env bash
# What the viewer's browser tests need (as root, idempotent): Debian's
# Chromium and its WebDriver, Selenium and Pillow (to draw the pictures the
# tests expect) in .venv. The viewer itself needs none of it: its page draws
# with WebGL2 and its server is the standard library.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/hosts.sh
ensure_packages chromium chromium-driver
.venv/bin/python -c "import selenium, PIL" 2>/dev/null \
    || .venv/bin/pip install -q "selenium>=4.10,<5" pillow 2> >(grep -v "^WARNING: Location" >&2)
