#!/usr/bin/env bash
# Installs the wheel in directory $1 into a fresh virtual environment $2, with
# the lowest NumPy and matplotlib that pyproject.toml allows, and runs the
# smoke test scripts/wheel_smoke.py with it, outside the source tree.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
wheel_dir=$(cd "${1:-dist}" && pwd)
env_dir=$(realpath -m "${2:-build/wheel-check}")
wheel=$(ls "$wheel_dir"/tarvo-*.whl)
rm -rf "$env_dir"
bash "$here/scripts/make-venv.sh" "$env_dir"
"$env_dir/bin/python" -m pip install --quiet --constraint "$here/scripts/lowest-dependencies.txt" \
    "$wheel"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$here/examples/rsa-532nm" "$work/measurement"
cd "$work"
PATH="$env_dir/bin:$PATH" "$env_dir/bin/python" -P "$here/scripts/wheel_smoke.py" measurement
