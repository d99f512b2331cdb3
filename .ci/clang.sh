#!/usr/bin/env bash
# A second compiler: the module built by Debian's clang, with the flags CMakeLists.txt gives
# every compiler (-O3 -ffp-contract=off -fno-fast-math -Wall -Wextra) and warnings as errors;
# the fixed set of calls must give the bits recorded from the g++ build, and the whole suite
# must pass.
#
#     .ci/clang.sh
#
# KORVANTA_CLANG_WERROR=OFF builds with warnings reported but not fatal (default ON).
set -euo pipefail
cd "$(dirname "$0")/.."
venv=.venv-ci-clang
out=.ci-dist/clang
rm -rf "$venv" "$out"
mkdir -p "$out"
"${PYTHON:-python3}" -m venv "$venv"
source "$venv/bin/activate"

clang++ --version | head -1
# Not stripped, so that the module keeps the compiler's name in its .comment section.
CC=clang CXX=clang++ KORVANTA_WERROR=${KORVANTA_CLANG_WERROR:-ON} SKBUILD_INSTALL_STRIP=false \
    pip install -q ".[test]"
module=$(python -c 'import _korvanta_rs; print(_korvanta_rs.__file__)')
if ! readelf -p .comment "$module" 2>/dev/null | grep -q "clang version"; then
    echo "$module was not compiled by clang" >&2
    exit 1
fi

python tests/bitcheck.py > "$out/bitcheck.txt"
python .ci/bitdiff.py tests/data/bitcheck.txt "$out/bitcheck.txt"
python -m pytest -q -p no:cacheprovider
