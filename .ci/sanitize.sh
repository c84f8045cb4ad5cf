#!/usr/bin/env bash
# Sanitizer run: builds kelvane_core with AddressSanitizer and UndefinedBehaviorSanitizer
# (KELVANE_SANITIZE=ON) into a venv of its own, then runs the tests with the ASan
# runtime preloaded into the stock interpreter. Fails on a failing test and on any
# sanitizer report, in the test process or in any child it started.
#
#   .ci/sanitize.sh [pytest arguments]     (default: the whole suite, quiet)
#
# Environment: PYTHON (interpreter for the venv; default: `./dev python`),
# KELVANE_SANITIZE_VENV (default build/venv-sanitize).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
venv="${KELVANE_SANITIZE_VENV:-$root/build/venv-sanitize}"

if [ ! -x "$venv/bin/python" ]; then
    mkdir -p "$(dirname "$venv")"
    "${PYTHON:-$("$root/dev" python)}" -m venv "$venv"
fi
"$venv/bin/python" -m pip install --quiet scikit-build-core pytest pytest-timeout hypothesis numpy
# scikit-build-core imports every installed package that names a cmake.root entry point,
# kelvane among them: a sanitized kelvane_core cannot load without the preloaded runtime,
# so the previous build goes before the next one is made.
"$venv/bin/python" -m pip uninstall --quiet --yes kelvane >/dev/null 2>&1 || true
KELVANE_SANITIZE=ON "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps --no-build-isolation "$root"

module=$(cd / && "$venv/bin/python" -c 'import importlib.util as u; print(u.find_spec("kelvane_core").origin)')
# The runtime the module was linked against; it must be the first library loaded.
asan=$(ldd "$module" | awk '/libasan\.so/ {print $3; exit}')
if [ -z "$asan" ]; then
    echo "FAIL: $module is not linked against libasan: the sanitizer build did not happen" >&2
    exit 1
fi

logs=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-sanitize.XXXXXX")
trap 'rm -rf "$logs"' EXIT
export LD_PRELOAD="$asan${LD_PRELOAD:+:$LD_PRELOAD}"
# Leaks are not checked: the interpreter keeps memory until exit by design.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:log_path=$logs/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"
export PYTHONFAULTHANDLER=1

echo "sanitizer run: $module"
echo "preloaded: $LD_PRELOAD"
set +e
(cd "$root/tests" && "$venv/bin/python" -m pytest -p no:cacheprovider "${@:--q}")
status=$?
set -e

reports=$(find "$logs" -type f -size +0 | sort)
if [ -n "$reports" ]; then
    echo "FAIL: sanitizer reports:" >&2
    for f in $reports; do
        echo "---- $f" >&2
        cat "$f" >&2
    done
    exit 1
fi
if [ "$status" -ne 0 ]; then
    echo "FAIL: the tests failed under the sanitizers (status $status)" >&2
    exit "$status"
fi
echo "sanitizer run passed: no reports"
