#!/usr/bin/env bash
# What the viewer's browser tests need (as root, idempotent): Debian's
# Chromium and its WebDriver, and Selenium in .venv. The viewer itself needs
# none of it: its page draws with WebGL2 and its server is the standard library.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/hosts.sh
ensure_packages chromium chromium-driver
.venv/bin/python -c "import selenium" 2>/dev/null \
    || .venv/bin/pip install -q "selenium>=4.10,<5" 2> >(grep -v "^WARNING: Location" >&2)
