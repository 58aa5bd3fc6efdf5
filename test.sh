#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test under the debug and asan presets, and
# builds the Debian package from the release preset and checks it (without installing it).
# Warnings are always errors here. Exits non-zero when any build or test fails.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

scripts/install-deps.sh
export POCKO_WERROR=ON
jobs="${POCKO_TEST_JOBS:-2}"
start=$SECONDS
results=()
failed=0

for preset in debug asan; do
    echo "=== $preset: configure and build"
    if ! cmake --preset "$preset" || ! cmake --build --preset "$preset"; then
        results+=("$preset: BUILD FAILED")
        failed=1
        continue
    fi
    echo "=== $preset: test"
    if ctest --preset "$preset" --output-on-failure -j "$jobs"; then
        results+=("$preset: passed")
    else
        results+=("$preset: TESTS FAILED")
        failed=1
    fi
done

echo "=== release: the Debian package"
rm -f build/release/*.deb
if ! cmake --workflow --preset package; then
    results+=("package: BUILD FAILED")
    failed=1
elif tests/package/check_package.py build/release/*.deb; then
    results+=("package: passed")
else
    results+=("package: CHECK FAILED")
    failed=1
fi

summary="$(IFS=';'; echo "${results[*]}")"
echo "test.sh: ${summary//;/, } ($(( SECONDS - start )) s)"
exit "$failed"
