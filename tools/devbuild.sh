#!/usr/bin/env bash
# Development build: compiles the named extension modules (all three by default)
# and copies them into src/quorlib, so that `PYTHONPATH=src python -m pytest`
# runs against the working tree without reinstalling. Each module has its own
# build folder, so separate modules can be rebuilt at the same time.
# Extra CMake options go in DEVBUILD_CMAKE_ARGS (e.g. -DQUORLIB_SANITIZE=ON).
set -euo pipefail
cd "$(dirname "$0")/.."
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(quorbase quordict quorlist)
for t in "${targets[@]}"; do
  dir="build/dev-$t${DEVBUILD_SUFFIX:-}"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$(command -v python3)" ${DEVBUILD_CMAKE_ARGS:-} >/dev/null
  cmake --build "$dir" --target "$t"
  # Copy, then rename over the old file: a process that has the old module
  # loaded keeps its inode instead of seeing the file rewritten under it.
  for so in "$dir"/"$t".*.so; do
    cp "$so" "src/quorlib/.$(basename "$so").tmp"
    mv -f "src/quorlib/.$(basename "$so").tmp" "src/quorlib/$(basename "$so")"
  done
done
