#!/usr/bin/env bash
# Runs the Python test suite against the freshly built module.
# Usage: run-pytest.sh PYTHON BUILD_DIR
set -uo pipefail
python="${1:-/usr/bin/python3}"
build="$(cd "${2:-build}" && pwd)"
cd "$(dirname "$0")/.."
PYTHONPATH="$build/python${PYTHONPATH:+:$PYTHONPATH}" "$python" -m pytest -q tests/python
rc=$?
# pytest exits 5 when it collected no tests; that is not a failure here.
if [ $rc -eq 5 ]; then exit 0; fi
exit $rc
