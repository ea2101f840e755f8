#!/usr/bin/env bash
# Builds and runs the test suite.
#   scripts/test.sh          plain build, every test, and the Python package's tests
#   scripts/test.sh asan     AddressSanitizer + UndefinedBehaviorSanitizer, every test
#   scripts/test.sh tsan     ThreadSanitizer, the threaded tests
#   scripts/test.sh fuzz     libFuzzer targets, each for FUZZ_SECONDS (default 60)
#   scripts/test.sh windows  dirov410.dll and its tests, cross-built, run under Wine;
#                            the Windows zip (cpack)
#   scripts/test.sh package  a user's build (tests off), the Debian packages unpacked
#                            into an empty root and used there, the wheel, mypy
#   scripts/test.sh docs     the API reference (Doxygen): every export documented and
#                            in a group, installed with the development component
#   scripts/test.sh usb      the library through a real Linux USB stack (QEMU guest,
#                            boards served by dirov410-usbip on vhci-hcd; scripts/usb/)
#   scripts/test.sh format   every C and C++ file as .clang-format lays it out
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-plain}
jobs=$(nproc)
scripts/deps.sh "$mode"

# The Python package, installed offline into a throw-away environment, against
# the library just built.
python_tests() {
  local venv
  venv=$(mktemp -d)
  /usr/bin/python3 -m venv --system-site-packages "$venv"
  "$venv/bin/pip" install -q --no-build-isolation --no-index ./python
  rm -rf python/build python/dirov410.egg-info
  DIROV410_LIBRARY="$PWD/build/libdirov410.so" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider python/tests
  rm -rf "$venv"
}

# Runs one libFuzzer target for FUZZ_SECONDS over its seed corpus; on a
# failure prints the log's tail and the input that failed.
fuzz_one() {
  local target=$1 name work
  name=$(basename "$target"); name=${name#fuzz_}
  work=$(mktemp -d)
  if ! "$target" -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 \
      -close_fd_mask=1 -artifact_prefix="$work/" "$work" "fuzz/corpus/$name" \
      > "$work/log" 2>&1; then
    tail -n 60 "$work/log"
    echo "fuzz target $name failed on this input:"
    od -A d -t x1 "$work"/crash-* "$work"/leak-* "$work"/timeout-* 2>/dev/null | head -20
    return 1
  fi
  echo "fuzzed $name for ${FUZZ_SECONDS}s:" \
    $(grep -E "stat::number_of_executed_units|stat::new_units_added" "$work/log")
  rm -rf "$work"
}

# The Windows zip (cpack): what a Windows application needs, under one folder.
windows_zip() {
  local zip listing f
  (cd build-win && cpack -G ZIP >/dev/null)
  zip=$(ls build-win/dirov410-*-win64.zip)
  listing=$(cmake -E tar tf "$zip")
  for f in bin/dirov410.dll bin/dirovctl.exe lib/libdirov410.dll.a lib/dirov410.lib \
      lib/dirov410.def include/dirov410.h include/dirov410_sim.h README.md; do
    grep -qx "dirov410-[^/]*-win64/$f" <<<"$listing" || { echo "$zip lacks $f" >&2; return 1; }
  done
  echo "packed $zip: $(wc -l <<<"$listing") files"
}

# The API reference, built and installed as a user's -DDIROV_BUILD_DOCS=ON build
# does, then the gates shown to bite: an undocumented export fails Doxygen, a
# documented one in no group fails the group check, each naming it.
docs_check() {
  local dir=build-docs work html
  cmake -S . -B "$dir" -G Ninja -DDIROV_WERROR=ON -DBUILD_TESTING=OFF -DDIROV_BUILD_TOOLS=OFF \
    -DDIROV_BUILD_DOCS=ON >/dev/null
  cmake --build "$dir" -j "$jobs" --target dirov410 docs
  work=$(mktemp -d)
  trap 'rm -rf "$work"' RETURN
  cmake --install "$dir" --component development --prefix "$work/root" >/dev/null
  html=$work/root/share/doc/dirov410/html
  for f in index.html board_commands.html group__commands__cbus.html; do
    [ -s "$html/$f" ] || { echo "the development component lacks html/$f" >&2; return 1; }
  done
  mkdir "$work/probe"
  cp include/*.h "$work/probe/"
  sed "s|$PWD/include|$work/probe|g; s|^OUTPUT_DIRECTORY .*|OUTPUT_DIRECTORY = $work/out|" \
    "$dir/docs/Doxyfile" >"$work/Doxyfile"
  echo 'DIROV_API int32_t dirov_docs_probe(void);' >>"$work/probe/dirov410.h"
  if doxygen "$work/Doxyfile" >"$work/log" 2>&1 || ! grep -q "dirov_docs_probe.*not documented" "$work/log"; then
    cat "$work/log"; echo "an undocumented export did not fail the reference" >&2; return 1
  fi
  sed -i 's|^DIROV_API int32_t dirov_docs_probe|/** Documented, in no group. */ &|' "$work/probe/dirov410.h"
  doxygen "$work/Doxyfile" >"$work/log" 2>&1 || { cat "$work/log"; return 1; }
  if cmake -DXML="$work/out/xml" "-DHEADERS=$work/probe/dirov410.h|$work/probe/dirov410_sim.h" \
      -P cmake/CheckDocs.cmake >"$work/log" 2>&1 || ! grep -q "dirov_docs_probe" "$work/log"; then
    cat "$work/log"; echo "an export in no group did not fail the reference" >&2; return 1
  fi
  echo "API reference in $dir/docs/html; installed with the development component"
}

configure() {  # build-dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DDIROV_WERROR=ON -DDIROV_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

case "$mode" in
  plain)
    configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    ctest --test-dir build -j "$jobs" --no-tests=error --output-on-failure -LE soak
    python_tests
    ;;
  asan)
    configure build-asan -DCMAKE_BUILD_TYPE=Debug -DDIROV_SANITIZE=address,undefined \
      -DDIROV_BUILD_BENCH=OFF
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
      ctest --test-dir build-asan -j "$jobs" --no-tests=error --output-on-failure -LE soak
    ;;
  tsan)
    configure build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDIROV_SANITIZE=thread \
      -DDIROV_BUILD_BENCH=OFF -DDIROV_BUILD_TOOLS=OFF
    TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan -j "$jobs" --no-tests=error --output-on-failure -L threads
    ;;
  fuzz)
    CC=clang CXX=clang++ configure build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DDIROV_BUILD_FUZZ=ON -DDIROV_BUILD_TESTS=OFF -DDIROV_BUILD_BENCH=OFF -DDIROV_BUILD_TOOLS=OFF
    # Each fuzzer uses one core: run as many at once as there are cores.
    export FUZZ_SECONDS=${FUZZ_SECONDS:-60}
    export -f fuzz_one
    printf '%s\n' build-fuzz/fuzz/fuzz_* | xargs -P "$jobs" -I{} bash -c 'fuzz_one {}'
    ;;
  windows)
    configure build-win -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DDIROV_BUILD_BENCH=OFF
    # One Wine server for the whole run, warmed up with its output discarded:
    # Wine's service processes inherit the first program's standard handles,
    # and CTest would wait on those pipes until the services exit.
    export WINEPREFIX=$PWD/build-win/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=winedbg.exe=d
    mkdir -p "$WINEPREFIX"
    /usr/lib/wine/wineserver -p
    trap '/usr/lib/wine/wineserver -k || true' EXIT
    /usr/lib/wine/wine64 wineboot >/dev/null 2>&1
    ctest --test-dir build-win -j "$jobs" --no-tests=error --output-on-failure -LE soak
    windows_zip
    ;;
  package)
    scripts/check_packages.sh
    ;;
  docs)
    docs_check
    ;;
  usb)
    scripts/usb/run.sh
    ;;
  format)
    git ls-files -z '*.c' '*.cpp' '*.h' |
      xargs -0 clang-format-14 --dry-run --Werror
    echo "every C and C++ file is laid out as .clang-format says"
    ;;
  *)
    echo "usage: scripts/test.sh [plain|asan|tsan|fuzz|windows|package|docs|usb|format]" >&2
    exit 2
    ;;
esac
