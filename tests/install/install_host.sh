# cmake --install into a scratch prefix: the layout, the installed programs finding
# their libraries, and a C host built against the package through find_package(Tarvex)
# and through pkg-config, run against the installed libraries.
#   bash install_host.sh BUILD_DIR LIBDIR HOST_SOURCE C_COMPILER PKG_CONFIG GENERATOR [C_FLAGS]
source "$(dirname "$0")/../e2e/lib.sh" "" "${1:?}/bin"
BUILD=$1 LIBDIR=${2:?} HOST=${3:?} CC=${4:?} PKG_CONFIG=${5:?} GENERATOR=${6:?} C_FLAGS=${7:-}
PREFIX=$WORK/prefix
# Nothing but the run paths may lead the programs to a library.
unset LD_LIBRARY_PATH

run cmake --install "$BUILD" --prefix "$PREFIX"
check "cmake --install: exit code" 0 "$RC"
[ "$RC" -eq 0 ] || { echo "$OUT$ERR" >&2; finish; exit 1; }

# ---------------------------------------------------------------- layout
cd "$PREFIX"
missing=""
for f in bin/flashwright bin/fwstation bin/tarvex-sim bin/snagview bin/qmx bin/defload bin/fwimage \
  "$LIBDIR/libqmxzelti.so" "$LIBDIR/libdefloader.so" "$LIBDIR/tarvex/libftd2xx.so" \
  include/qmxzelti.h include/defloader.h \
  "$LIBDIR/cmake/Tarvex/TarvexConfig.cmake" "$LIBDIR/cmake/Tarvex/TarvexConfigVersion.cmake" \
  "$LIBDIR/pkgconfig/qmxzelti.pc" "$LIBDIR/pkgconfig/defloader.pc" \
  lib/udev/rules.d/60-tarvex.rules; do
  [ -e "$f" ] || missing+="$f "
done
check "installed files present" "" "$missing"
# The virtual D2XX library must not shadow a real one in the library folder.
check "no libftd2xx in the library folder" "" "$(ls "$LIBDIR" | grep ftd2xx || true)"
# Nothing of the tests, benchmarks or fuzzers.
check "only the seven programs in bin" "defload flashwright fwimage fwstation qmx snagview tarvex-sim" \
  "$(ls bin | LC_ALL=C sort | xargs)"
soname=$(readelf -d "$LIBDIR/libqmxzelti.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
check "libqmxzelti.so's soname is installed" "yes" \
  "$([ -n "$soname" ] && [ -e "$LIBDIR/$soname" ] && echo yes || echo "no ($soname)")"

# ---------------------------------------------------------------- installed programs
# defload links both libraries; qmx loads Qmxzelti by name. Neither has a library
# beside it, so each finds its own through its run path or not at all.
run bin/defload --help
check "defload --help runs from the prefix" 0 "$RC"
run bin/qmx --serial NOUNIT status
check "qmx finds the installed Qmxzelti (no unit: exit 1, not 3)" 1 "$RC"
# flashwright stays the plain built program that fwimage pack appends an image to.
run bin/fwimage make --release full --version 1.2.3 -o "$WORK/firmware.a37"
run bin/fwimage pack bin/flashwright "$WORK/firmware.a37" -o "$WORK/flashwright-1.2.3"
check "fwimage pack on the installed flashwright" 0 "$RC"
run bin/fwimage info "$WORK/flashwright-1.2.3"
check "fwimage info reads the image back" "yes" \
  "$(grep -q '1\.2\.3' <<<"$OUT" && echo yes || echo "no: $OUT")"

# ---------------------------------------------------------------- host builds
expected=$'open: 31\ndownload: busy 0 result 9\n'
# uses_prefix PROGRAM: both libraries the program loads come from the prefix.
uses_prefix() {
  ldd "$1" | awk '/libqmxzelti|libdefloader/ { print $1, ($3 ~ "^'"$PREFIX"'/") ? "prefix" : $3 }' |
    sort | xargs
}
libs_from_prefix="libdefloader.so.0 prefix libqmxzelti.so.0 prefix"

# find_package(Tarvex): the imported targets' build run path names the prefix.
# The build's own generator: a fresh machine has Ninja for it, and no make.
run cmake -S "$HOST" -B "$WORK/cmake-host" -G "$GENERATOR" -DCMAKE_C_COMPILER="$CC" \
  -DCMAKE_PREFIX_PATH="$PREFIX" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS="$C_FLAGS"
check "find_package(Tarvex): configure" 0 "$RC"
[ "$RC" -eq 0 ] || echo "$OUT$ERR" >&2
run cmake --build "$WORK/cmake-host"
check "find_package(Tarvex): build" 0 "$RC"
[ "$RC" -eq 0 ] || echo "$OUT$ERR" >&2
run "$WORK/cmake-host/host"
check_output "find_package(Tarvex): the host's output" "$expected"
check "find_package(Tarvex): libraries from the prefix" "$libs_from_prefix" \
  "$(uses_prefix "$WORK/cmake-host/host")"

# pkg-config: the flags it gives, plus a run path to the libdir it names.
export PKG_CONFIG_PATH=$PREFIX/$LIBDIR/pkgconfig
flags=$("$PKG_CONFIG" --cflags --libs qmxzelti defloader) && rc=0 || rc=$?
check "pkg-config finds both" 0 "$rc"
libdir=$("$PKG_CONFIG" --variable=libdir qmxzelti)
# shellcheck disable=SC2086
run "$CC" $C_FLAGS -std=c99 -Wall -Wextra -Wpedantic -Werror "$HOST/host.c" -o "$WORK/pc-host" \
  $flags -Wl,-rpath,"$libdir"
check "pkg-config: build" 0 "$RC"
[ "$RC" -eq 0 ] || echo "$OUT$ERR" >&2
run "$WORK/pc-host"
check_output "pkg-config: the host's output" "$expected"
check "pkg-config: libraries from the prefix" "$libs_from_prefix" "$(uses_prefix "$WORK/pc-host")"
finish
