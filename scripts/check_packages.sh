#!/usr/bin/env bash
# The project as its users get it, built with the tests off:
#  - the configure fails if anything of the tests (GoogleTest, Google
#    Benchmark, umockdev) were needed: pkg-config sees only libusb and
#    bash-completion, and find_package may not find GTest or benchmark;
#  - the Debian packages (cpack), unpacked into an empty root with dpkg -x:
#    every dependency they declare is a Debian package present here, no file
#    is in two packages, the example builds against the root through
#    find_package and pkg-config, and the root's dirovctl runs the tour;
#  - the wheel with the library inside, installed offline into a fresh
#    virtual environment, loads its own library and passes the pytest suite;
#    mypy checks the package's types.
# Called by `scripts/test.sh package`.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=${DIROV_PACKAGE_BUILD:-build-pkg}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ulimit -f 2000000
step() { echo "== $*"; }
fail() { echo "FAILED: $*" >&2; exit 1; }

step "user build: tests off, test dependencies hidden"
mkdir "$work/pc"
ln -s "$(pkg-config --variable=pcfiledir libusb-1.0)/libusb-1.0.pc" "$work/pc/"
ln -s "$(pkg-config --variable=pcfiledir bash-completion)/bash-completion.pc" "$work/pc/"
hidden=(-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON)
# The guard bites: with the tests on, the same configure fails.
if PKG_CONFIG_LIBDIR=$work/pc cmake -S . -B "$work/guard" -G Ninja "${hidden[@]}" \
    -DBUILD_TESTING=ON >"$work/guard.log" 2>&1; then
  fail "a configure with the tests on succeeded without GoogleTest"
fi
grep -q "GTest" "$work/guard.log" || { cat "$work/guard.log"; fail "the guard failed for another reason"; }
# Optimised as Debian builds (-O2 -g, stripped into the packages).
PKG_CONFIG_LIBDIR=$work/pc cmake --fresh --no-warn-unused-cli -S . -B "$build" -G Ninja "${hidden[@]}" \
  -DBUILD_TESTING=OFF -DDIROV_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DDIROV_BUILD_DOCS=ON \
  >"$work/configure.log" || { cat "$work/configure.log"; fail "configure"; }
cmake --build "$build" -j "$(nproc)"

step "Debian packages"
(cd "$build" && cpack -G DEB -B "$work/debs" >/dev/null)
mapfile -t debs < <(ls "$work"/debs/*.deb)
declare -A ours=()
for d in "${debs[@]}"; do ours[$(dpkg-deb -f "$d" Package)]=1; done
soversion=$(sed -n 's/^CMAKE_PROJECT_VERSION:.*=\([0-9]*\)\.\([0-9]*\).*/\1.\2/p' "$build/CMakeCache.txt")
[ "${soversion%%.*}" = 0 ] || soversion=${soversion%%.*}
for p in "libdirov410-$soversion" libdirov410-dev dirovctl; do
  [ -n "${ours[$p]:-}" ] || fail "no package $p among: ${!ours[*]}"
done
for d in "${debs[@]}"; do
  echo "$(dpkg-deb -f "$d" Package): $(dpkg-deb -f "$d" Depends)"
  # Each dependency is one of ours or a Debian package installed here.
  for dep in $(dpkg-deb -f "$d" Depends | tr ',|' '\n\n' | sed 's/(.*//; s/ //g'); do
    [ -n "${ours[$dep]:-}" ] || dpkg-query -W "$dep" >/dev/null 2>&1 ||
      fail "$d depends on $dep, which is not a Debian package here"
  done
  dpkg-deb -c "$d" | grep -v '^d' | awk '{print $NF}' >>"$work/files"
done
dup=$(sort "$work/files" | uniq -d)
[ -z "$dup" ] || fail "files in two packages: $dup"

root=$work/root
for d in "${debs[@]}"; do dpkg -x "$d" "$root"; done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
libdir=$root/usr/lib/$multiarch
for f in "$libdir/libdirov410.so.$soversion" "$libdir/libdirov410.so" usr/include/dirov410.h \
    "$libdir/cmake/dirov410/dirov410Config.cmake" "$libdir/pkgconfig/dirov410.pc" \
    usr/share/doc/dirov410/README.md usr/share/doc/dirov410/examples/hello/hello.c \
    usr/share/doc/dirov410/html/index.html \
    usr/bin/dirovctl usr/lib/udev/rules.d/70-dirov410.rules usr/share/man/man1/dirovctl.1 \
    usr/share/bash-completion/completions/dirovctl; do
  [[ $f = /* ]] || f=$root/$f
  [ -e "$f" ] || fail "not in the packages: ${f#"$root"}"
done
objdump -p "$libdir/libdirov410.so.$soversion" | grep -q "SONAME *libdirov410.so.$soversion$" ||
  fail "soname is not libdirov410.so.$soversion"
rules=$(grep -c '^SUBSYSTEM' "$root/usr/lib/udev/rules.d/70-dirov410.rules")
[ "$rules" -ge 1 ] && [ -z "$(grep '^SUBSYSTEM' "$root/usr/lib/udev/rules.d/70-dirov410.rules" | sort | uniq -d)" ] ||
  fail "the udev rule has no line or a line twice"
grep -q '^\.SH SUBCOMMANDS' "$root/usr/share/man/man1/dirovctl.1" || fail "man page without SUBCOMMANDS"
bash -n "$root/usr/share/bash-completion/completions/dirovctl"

step "the example against the unpacked root"
unset LD_LIBRARY_PATH
resolves_in_root() {  # every libdirov410 an executable loads comes from the root
  ldd "$1" | grep -q "libdirov410.so.$soversion => $root/" || { ldd "$1"; fail "$1 loads another libdirov410"; }
}
cmake -S examples/hello -B "$work/hello-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$work/hello-cmake" >/dev/null
flags=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs dirov410)
cc examples/hello/hello.c $flags -Wl,-rpath,"$libdir" -o "$work/hello-pc"
for exe in "$work/hello-cmake/hello" "$work/hello-pc" "$root/usr/bin/dirovctl"; do
  resolves_in_root "$exe"
done
for exe in "$work/hello-cmake/hello" "$work/hello-pc"; do
  "$exe" | grep -q "Command is: SYS:VERSION" || fail "$exe"
done
"$root/usr/bin/dirovctl" --sim tour --dir "$work/tour" >"$work/tour.log" 2>&1 ||
  { cat "$work/tour.log"; fail "dirovctl --sim tour"; }
grep -q "records from $root/usr/share/dirov410/sample_firmware.elf" "$work/tour.log" &&
  grep -q "The tour passed every step." "$work/tour.log" || { cat "$work/tour.log"; fail "tour"; }
rm -rf "$work/tour"

step "the wheel in a fresh virtual environment"
scripts/wheel.sh "$build/libdirov410.so" "$work/wheel" >/dev/null
# Debian's pytest and NumPy are taken from the system; nothing from an index.
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install -q --no-index --no-deps "$work"/wheel/dirov410-*.whl
site=$("$work/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
(cd "$work" && env -u DIROV410_LIBRARY "$work/venv/bin/python" -c '
import sys, dirov410._lib as l
assert l.path().startswith(sys.argv[1]), l.path()
print("loads", l.path())' "$site")
(cd "$work" && env -u DIROV410_LIBRARY "$work/venv/bin/python" -m pytest -q -p no:cacheprovider \
  --rootdir "$work" "$src/python/tests")

step "mypy"
mypy python/dirov410
echo "packages, example, tour, wheel and types: all checked"
