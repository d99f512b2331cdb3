#!/usr/bin/env bash
# 64-bit Arm: cross-build the cp310-abi3 wheel with Debian's aarch64 g++, check that the
# module holds no fused multiply-add instruction, and run it under qemu-user on the CPython,
# NumPy, pytest and hypothesis of an arm64 Debian sysroot: the fixed set of calls must give
# the bits recorded on x86-64, and the test suite (with fewer fuzzing examples, leak calls
# and stress rounds, since everything runs about ten times slower) must pass.
#
#     .ci/aarch64.sh            (as root: it mounts binfmt_misc and registers qemu-aarch64)
#
# Environment: KORVANTA_CI_TOOLS, a venv with CMake >= 4.1, Ninja, scikit-build-core and
# abi3audit (made here when unset); KORVANTA_WERROR (ON by default).
# The sysroot is cached in .ci-cache/aarch64-sysroot (git-ignored) and remade when its package
# list changes; delete the folder to start from nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mark() { echo "   [aarch64] $1 after ${SECONDS} s"; }
sysroot=$root/.ci-cache/aarch64-sysroot
dist=$root/.ci-dist/aarch64
packages=python3,libpython3-dev,libstdc++6,python3-numpy,python3-pytest,python3-hypothesis
fused='^(fmadd|fmsub|fnmadd|fnmsub|fmla|fmls|fmad|fmsb|fnmad|fnmsb|fnmla|fnmls)$'

if [ -z "${KORVANTA_CI_TOOLS:-}" ]; then
    KORVANTA_CI_TOOLS=$root/.venv-ci-tools
    "${PYTHON:-python3}" -m venv "$KORVANTA_CI_TOOLS"
    "$KORVANTA_CI_TOOLS/bin/pip" install -q "cmake>=4.1" ninja "scikit-build-core>=0.10" abi3audit
fi
tools=$KORVANTA_CI_TOOLS/bin

# --- the arm64 sysroot ---------------------------------------------------------------------
# Unpacked, not installed (--variant=extract: no maintainer scripts run), with the package
# sources and download settings of this machine's own apt configuration. Installing
# python3:arm64 into the host instead would make apt remove the host's own python3.
make_sysroot() {
    local sources=() file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -s "$file" ] && sources+=("$file")
    done
    if [ ${#sources[@]} -eq 0 ]; then
        echo "no apt sources in /etc/apt/sources.list{,.d/}" >&2
        return 1
    fi
    local suite
    suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
    local aptopts tmp
    aptopts=$(mktemp)
    apt-config dump Acquire::Check-Valid-Until Acquire::Check-Date Acquire::http::Proxy \
        Acquire::https::Proxy Acquire::Retries > "$aptopts"
    tmp=$sysroot.partial
    rm -rf "$tmp"
    mkdir -p "$(dirname "$sysroot")"
    mmdebstrap --quiet --variant=extract --arch=arm64 --aptopt="$aptopts" \
        --include="$packages" "$suite" "$tmp" "${sources[@]}"
    rm -f "$aptopts"
    # Normally set up by the alternatives system in maintainer scripts: NumPy needs these.
    ln -sf blas/libblas.so.3 "$tmp/usr/lib/aarch64-linux-gnu/libblas.so.3"
    ln -sf lapack/liblapack.so.3 "$tmp/usr/lib/aarch64-linux-gnu/liblapack.so.3"
    echo "$packages" > "$tmp/.korvanta-packages"
    rm -rf "$sysroot"
    mv "$tmp" "$sysroot"
}

if [ "$(cat "$sysroot/.korvanta-packages" 2>/dev/null)" != "$packages" ]; then
    echo "making the arm64 sysroot in ${sysroot#"$root"/}"
    make_sysroot
else
    echo "reusing the arm64 sysroot in ${sysroot#"$root"/}"
fi
mark "sysroot ready"
export KORVANTA_AARCH64_SYSROOT=$sysroot
emulate=(qemu-aarch64-static -L "$sysroot")
py_arm=$sysroot/usr/bin/python3

# --- the wheel -----------------------------------------------------------------------------
# No build isolation: an isolated build environment would install the arm64 CMake that
# _PYTHON_HOST_PLATFORM asks for. That variable only names the wheel's platform.
rm -rf "$dist"
mkdir -p "$dist"
KORVANTA_WERROR=${KORVANTA_WERROR:-ON} _PYTHON_HOST_PLATFORM=linux-aarch64 \
SKBUILD_CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=$root/.ci/aarch64-toolchain.cmake;-DCMAKE_POLICY_DEFAULT_CMP0190=NEW" \
PATH=$tools:$PATH \
    "$tools/pip" wheel -q --no-build-isolation --no-deps . -w "$dist"
wheel=$(ls "$dist"/*cp310-abi3-linux_aarch64.whl)
echo "built ${wheel#"$root"/}"
"$tools/abi3audit" --strict --report "$wheel"
"$tools/pip" install -q --no-deps --only-binary=:all: --platform linux_aarch64 \
    --target "$dist/site" "$wheel"
module=$(ls "$dist"/site/_korvanta_rs*.so)
aarch64-linux-gnu-readelf -h "$module" | grep -q "Machine:.*AArch64" \
    || { echo "$module is not an aarch64 object" >&2; exit 1; }
mark "wheel built and installed"

# --- (a) no fused multiply-add -------------------------------------------------------------
fused_in() {  # the fused multiply-add instructions in an object file, one mnemonic a line
    aarch64-linux-gnu-objdump -d "$1" | awk -F'\t' '{print $3}' | grep -E "$fused" || true
}
# The check itself must see a contraction when there is one.
probe=$(mktemp -d)
echo 'double axpy(double a, double x, double y) { return a * x + y; }' > "$probe/axpy.cpp"
aarch64-linux-gnu-g++ -O2 -ffp-contract=fast -c "$probe/axpy.cpp" -o "$probe/axpy.o"
if [ -z "$(fused_in "$probe/axpy.o")" ]; then
    echo "the fused multiply-add check finds nothing in a contracted a*x+y: the check is broken" >&2
    exit 1
fi
rm -rf "$probe"
found=$(fused_in "$module")
if [ -n "$found" ]; then
    echo "fused multiply-add instructions in ${module#"$root"/}:" >&2
    sort <<< "$found" | uniq -c >&2
    exit 1
fi
echo "no fused multiply-add instruction in ${module#"$root"/}"

# --- (b) the same bits as on x86-64 --------------------------------------------------------
"${emulate[@]}" "$py_arm" -c 'import platform, sys; print("emulated:", platform.machine(), "CPython", sys.version.split()[0])'
PYTHONPATH=$dist/site "${emulate[@]}" "$py_arm" tests/bitcheck.py > "$dist/bitcheck.txt"
python3 .ci/bitdiff.py tests/data/bitcheck.txt "$dist/bitcheck.txt"
mark "fused multiply-add and bit checks done"

# --- (c) the test suite under emulation ----------------------------------------------------
# Tests that start sys.executable need the kernel to hand arm64 programs to qemu.
registered_here=0
if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi
if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
    cat /usr/lib/binfmt.d/qemu-aarch64.conf > /proc/sys/fs/binfmt_misc/register
    registered_here=1
fi
unregister() {
    if [ "$registered_here" = 1 ]; then echo -1 > /proc/sys/fs/binfmt_misc/qemu-aarch64; fi
}
trap unregister EXIT

# The extension's own tests. The korvanta package's tests (fitting with SciPy, charts with
# matplotlib, tables with pandas) need libraries the sysroot leaves out to stay small; the
# package is pure Python over the module, whose bits the fixed set of calls has checked.
extension_tests=()
for name in arguments bitcheck bitdiff build conversion_callbacks filter_rules forecast fuzz \
            gradient leaks likelihood logarithm module process stress stubs threads transforms; do
    extension_tests+=("tests/test_$name.py")
done
QEMU_LD_PREFIX=$sysroot PYTHONPATH=$dist/site KORVANTA_EMULATED=1 \
KORVANTA_FUZZ_EXAMPLES=40 KORVANTA_LEAK_CALLS=200 KORVANTA_STRESS_ROUNDS=10 \
    "$py_arm" -m pytest -q -p no:cacheprovider "${extension_tests[@]}"
mark "suite done"
