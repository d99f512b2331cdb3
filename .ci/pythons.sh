#!/usr/bin/env bash
# The one cp310-abi3 wheel on every CPython from 3.10 found on this machine: for each, a fresh
# venv with the wheel and its test extras, and the whole suite: CPython 3.10 with NumPy 1.26,
# NumPy 2.x on every newer CPython, and once more CPython 3.10 with the oldest version of every
# dependency that pyproject.toml accepts (.ci/oldest.txt).
#
#     .ci/pythons.sh WHEEL
#
# Interpreters come from pyenv ($PYENV_ROOT/versions/*) and from python3.X on PATH, one per
# minor version. The run fails, instead of passing on fewer versions, when 3.10 is missing or
# the newest found is older than KORVANTA_NEWEST_PYTHON (default 3.13). Each venv is kept as
# .venv-ci-py3.X for later steps (the oldest versions' as .venv-ci-oldest).
set -euo pipefail
cd "$(dirname "$0")/.."
wheel=$1
oldest=3.10
newest_wanted=${KORVANTA_NEWEST_PYTHON:-3.13}

# "name minor" of an interpreter that can make a venv: a CPython with the interpreter lock (a
# free-threaded build cannot load abi3 modules), nothing for anything else.
probe() {
    "$1" - <<'EOF' 2>/dev/null || true
import sys, sysconfig
import ensurepip, venv  # noqa: F401  (a venv with pip must be possible)
if sys.implementation.name == "cpython" and not sysconfig.get_config_var("Py_GIL_DISABLED"):
    print("%d.%d" % sys.version_info[:2])
EOF
}

declare -A chosen=()
candidates=("${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python3)
for minor in $(seq 10 40); do
    exe=$(command -v "python3.$minor" 2>/dev/null) && candidates+=("$exe")
done
for exe in "${candidates[@]}"; do
    [ -x "$exe" ] || continue
    version=$(probe "$exe")
    [ -n "$version" ] || continue
    [ "$(printf '%s\n' "$oldest" "$version" | sort -V | head -1)" = "$oldest" ] || continue
    [ -n "${chosen[$version]:-}" ] || chosen[$version]=$exe
done
versions=$(printf '%s\n' "${!chosen[@]}" | sort -V)
newest=$(tail -1 <<< "$versions")
echo "CPythons found: $(tr '\n' ' ' <<< "$versions")"
if [ -z "${chosen[$oldest]:-}" ]; then
    echo "CPython $oldest, the oldest supported version, is not on this machine" >&2
    exit 1
fi
if [ "$(printf '%s\n' "$newest_wanted" "$newest" | sort -V | head -1)" != "$newest_wanted" ]; then
    echo "the newest CPython here is $newest, older than $newest_wanted (KORVANTA_NEWEST_PYTHON)" >&2
    exit 1
fi

summary=()
for version in $versions; do
    exe=${chosen[$version]}
    numpy="numpy>=2"
    [ "$version" = "$oldest" ] && numpy="numpy==1.26.*"
    venv=.venv-ci-py$version
    echo "-- CPython $version ($exe), $numpy"
    start=$SECONDS
    rm -rf "$venv"
    "$exe" -m venv "$venv"
    "$venv/bin/pip" install -q "$numpy" "${wheel}[test]"
    ran=$("$venv/bin/python" -c 'import platform, numpy; print("CPython", platform.python_version(), "with NumPy", numpy.__version__)')
    "$venv/bin/python" -m pytest -q -p no:cacheprovider
    summary+=("$ran: suite passed in $((SECONDS - start)) s")
done

venv=.venv-ci-oldest
echo "-- CPython $oldest (${chosen[$oldest]}), the oldest accepted dependencies"
start=$SECONDS
rm -rf "$venv"
"${chosen[$oldest]}" -m venv "$venv"
"$venv/bin/pip" install -q -c .ci/oldest.txt "${wheel}[test]"
ran=$("$venv/bin/python" -c 'import platform, numpy, scipy, pandas; print("CPython", platform.python_version(), "with NumPy", numpy.__version__, "SciPy", scipy.__version__, "pandas", pandas.__version__)')
"$venv/bin/python" -m pytest -q -p no:cacheprovider
summary+=("$ran: suite passed in $((SECONDS - start)) s")
printf '%s\n' "${summary[@]}"
