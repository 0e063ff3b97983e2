#!/usr/bin/env bash
# Creates the virtual environment $1 with Python 3.13, unless it exists.
set -euo pipefail
venv=${1:-.venv}
[ -x "$venv/bin/python" ] && exit 0
find_python() {
  if command -v python3.13 >/dev/null 2>&1 && python3.13 -c '' 2>/dev/null; then
    echo python3.13; return
  fi
  if command -v pyenv >/dev/null 2>&1 && PYENV_VERSION=3.13.0 python3.13 -c '' 2>/dev/null; then
    echo "env PYENV_VERSION=3.13.0 python3.13"; return
  fi
  if command -v python3 >/dev/null 2>&1 && python3 -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))'; then
    echo python3; return
  fi
  echo "Python 3.13 not found: install it (e.g. apt-get install python3.13 or pyenv install 3.13)" >&2
  exit 1
}
py=$(find_python)
$py -m venv "$venv"
