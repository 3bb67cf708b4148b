#!/usr/bin/env bash
# Builds the three modules with AddressSanitizer and UndefinedBehaviorSanitizer
# into a scratch package folder and runs the in-process test suite against it
# (real-Ray tests are left out: the sanitizer runtime would be preloaded into
# every Ray process). Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/sanitized
rm -rf "$out/pkg" && mkdir -p "$out/pkg/quorlib"
cp src/quorlib/*.py "$out/pkg/quorlib/"
for t in quorbase quordict quorlist; do
  cmake -S . -B "$out/$t" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORLIB_SANITIZE=ON \
    -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
  cmake --build "$out/$t" --target "$t" >/dev/null
  cp "$out/$t"/"$t".*.so "$out/pkg/quorlib/"
done
# libstdc++ must be loaded up front for the sanitizer to intercept C++ throws.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
# The interpreter itself keeps memory until exit; leaks are checked by refcount tests.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONMALLOC=malloc
PYTHONPATH="$out/pkg" python3 -m pytest -q -p no:cacheprovider -m "not real_ray" "$@"
