#!/usr/bin/env bash
# Install test: installs a built tree into a temporary prefix, checks what
# landed there, and builds two outside programs against it, one through the
# CMake package (find_package(eldran CONFIG)) and one from a plain compiler
# line given by pkg-config; then runs both. The prefix is moved before the
# pkg-config half, so the pkg-config file and the tools' library path are
# shown to hold wherever the tree lies.
#
#   install_test.sh BUILD_DIR LIBDIR BINDIR INCLUDEDIR MANDIR CC [EXTRA_FLAGS]
#
# LIBDIR and the other directories are relative to the prefix. EXTRA_FLAGS
# (the sanitizer options of a sanitized build) go to every compile and link.
# Exit status: 0 passed, 77 the pkg-config half skipped (no pkg-config), else
# failed.
set -eu

build=$1 libdir=$2 bindir=$3 includedir=$4 mandir=$5 cc=$6 extra=${7:-}
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/eldran-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
mkdir "$tmp/env-cmake" "$tmp/env-pc"

fail() { echo "install_test: $*" >&2; exit 1; }
need_file() { [ -f "$1" ] || fail "missing after install: ${1#"$prefix"/}"; }

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" || {
  cat "$tmp/install.log" >&2
  fail "cmake --install failed"
}

# The library under its real name, its soname and its link name.
real=$(cd "$prefix/$libdir" && ls libeldran.so.*.*.* 2>/dev/null | head -n 1)
[ -n "$real" ] || fail "no versioned libeldran.so.X.Y.Z in $libdir"
for link in libeldran.so.0 libeldran.so; do
  [ -L "$prefix/$libdir/$link" ] || fail "$libdir/$link is not a symbolic link"
  [ "$(readlink -f "$prefix/$libdir/$link")" = "$(readlink -f "$prefix/$libdir/$real")" ] ||
    fail "$libdir/$link does not lead to $real"
done
soname=$(objdump -p "$prefix/$libdir/$real" 2>/dev/null | awk '$1 == "SONAME" { print $2 }')
[ -z "$soname" ] || [ "$soname" = libeldran.so.0 ] || fail "soname is $soname"

need_file "$prefix/$includedir/orv.h"
need_file "$prefix/$includedir/idl.h"
# The C++ interface, where the source tree has it.
if [ -f "$here/../../include/eldran.hpp" ]; then need_file "$prefix/$includedir/eldran.hpp"; fi
need_file "$prefix/$libdir/cmake/eldran/eldranConfig.cmake"
need_file "$prefix/$libdir/cmake/eldran/eldranConfigVersion.cmake"
need_file "$prefix/$libdir/pkgconfig/eldran.pc"

# Every tool the build made is installed with its manual page.
tools=()
for tool in orv-dump orv-load orv-stat orv-drop orv-copy orv-verify; do
  [ -x "$build/$tool" ] || continue
  tools+=("$tool")
  [ -x "$prefix/$bindir/$tool" ] || fail "missing after install: $bindir/$tool"
  need_file "$prefix/$mandir/man1/$tool.1"
done
[ ${#tools[@]} -gt 0 ] || fail "the build holds no tools"
if [ -x "$build/orv-dump" ]; then need_file "$prefix/$mandir/man5/orv-dump.5"; fi

# The CMake package: the version file accepts 1.0 and turns down 2.0.
cmake -S "$here/cmake_consumer" -B "$tmp/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$extra" -DCMAKE_EXE_LINKER_FLAGS="$extra" \
  >"$tmp/cmake.log" 2>&1 || { cat "$tmp/cmake.log" >&2; fail "find_package(eldran 1.0) failed"; }
cmake --build "$tmp/cmake-build" >"$tmp/cmake.log" 2>&1 ||
  { cat "$tmp/cmake.log" >&2; fail "the CMake consumer did not build"; }
out=$(env -u LD_LIBRARY_PATH "$tmp/cmake-build/consumer" "$tmp/env-cmake") ||
  fail "the CMake consumer failed: $out"
[ "$out" = "consumer ok" ] || fail "the CMake consumer printed: $out"
if cmake -S "$here/cmake_consumer" -B "$tmp/cmake-build2" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DELDRAN_WANT=2.0 >"$tmp/cmake.log" 2>&1; then
  fail "find_package(eldran 2.0) accepted version 1"
fi

# Move the tree: nothing installed may depend on where it was put.
mv "$prefix" "$tmp/moved"
prefix=$tmp/moved

# The installed tools find the library beside them.
version=$(env -u LD_LIBRARY_PATH "$prefix/$bindir/${tools[0]}" -V) ||
  fail "installed ${tools[0]} -V failed"
case $version in ELDRAN\ *) ;; *) fail "installed ${tools[0]} -V printed: $version" ;; esac

if ! command -v pkg-config >/dev/null; then
  echo "install_test: pkg-config not found; the pkg-config half is skipped" >&2
  exit 77
fi
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
release=${version#ELDRAN }
release=${release%%:*}
[ "$(pkg-config --modversion eldran)" = "$release" ] ||
  fail "pkg-config --modversion eldran: $(pkg-config --modversion eldran), library: $release"
flags=$(pkg-config --cflags --libs eldran) || fail "pkg-config --cflags --libs eldran failed"
# shellcheck disable=SC2086 # the flags are words
"$cc" $extra -o "$tmp/pc-consumer" "$here/consumer.c" $flags ||
  fail "the pkg-config consumer did not build with: $flags"
out=$(LD_LIBRARY_PATH=$(pkg-config --variable=libdir eldran) "$tmp/pc-consumer" "$tmp/env-pc") ||
  fail "the pkg-config consumer failed: $out"
[ "$out" = "consumer ok" ] || fail "the pkg-config consumer printed: $out"
echo "install_test: installed, found by CMake and pkg-config, and run"
