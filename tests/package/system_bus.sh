#!/usr/bin/env bash
# Builds the daemon with AIRCOORD_SYSTEM_BUS against a stand-in for the
# router's bus libraries, made from the project's own bus layer: headers
# installed under the router's names (libubox/*.h, libubus.h) and shared
# libraries libubox, libubus and libblobmsg_json exporting the C API, the
# bus client built to behave as the router's does (AIRCOORD_BUS_ROUTER_MODE).
# Then checks the configure error without them and the daemon's NEEDED list.
# The daemon is WORK_DIR/build/aircoord; the simulated meshes run against it
# are tests of their own.
#   system_bus.sh SOURCE_DIR WORK_DIR READELF NM
set -euo pipefail
src=$1 work=$2 readelf=$3 nm=$4
cc=${CC:-cc} cxx=${CXX:-c++}
prefix=$work/prefix
rm -rf "$work"
mkdir -p "$prefix/include/libubox" "$prefix/lib"

# Headers under the router's names, including one another by those names.
install_header() {
	sed -e 's|#include "bus/ubus.h"|#include <libubus.h>|' \
		-e 's|#include "bus/\([a-z_]*\.h\)"|#include <libubox/\1>|' "$src/bus/$1" >"$prefix/include/$2"
	if grep -q '#include "' "$prefix/include/$2"; then
		echo "$1 includes a header the router does not have" >&2
		exit 1
	fi
}
for h in list utils blob blobmsg blobmsg_json uloop; do
	install_header "$h.h" "libubox/$h.h"
done
install_header ubus.h libubus.h

# Linked by the C driver: the bus client needs no C++ runtime either.
flags="-O2 -fPIC -fno-exceptions -fno-rtti -fno-threadsafe-statics -std=c++20 -I$src"
json_cflags=$(pkg-config --cflags json-c) json_libs=$(pkg-config --libs json-c)
library() {
	local name=$1; shift
	local objs=()
	while [ "$1" != -- ]; do
		$cxx $flags $json_cflags -c "$src/bus/$1" -o "$work/${1%.cc}.o"
		objs+=("$work/${1%.cc}.o")
		shift
	done
	shift
	$cc -shared -Wl,-soname,$name.so -o "$prefix/lib/$name.so" "${objs[@]}" -L"$prefix/lib" "$@"
}
library libubox uloop.cc blob.cc blobmsg.cc --
library libblobmsg_json blobmsg_json.cc -- -lubox $json_libs
flags="$flags -DAIRCOORD_BUS_ROUTER_MODE"
# The client is all of bus/ubus*.cc.
ubus_sources=("$src"/bus/ubus*.cc)
library libubus "${ubus_sources[@]##*/}" -- -lubox

# Without the libraries, configuring names what is missing.
if cmake -S "$src" -B "$work/nobus" -DAIRCOORD_SYSTEM_BUS=ON -DAIRCOORD_TESTS=OFF \
	>"$work/nobus.log" 2>&1; then
	echo "configuring without the router's bus libraries succeeded" >&2
	exit 1
fi
# CMake wraps the message: compare it as one line.
tr -s '\n ' '  ' <"$work/nobus.log" |
	grep -q "missing: libubus.h libubox/blobmsg_json.h libubox libubus libblobmsg_json\." || {
	cat "$work/nobus.log" >&2
	exit 1
}

cmake -S "$src" -B "$work/build" -DAIRCOORD_SYSTEM_BUS=ON -DAIRCOORD_TESTS=OFF \
	-DAIRCOORD_WERROR=ON -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/build" --target aircoord
"$(dirname "$0")/needed.sh" "$work/build/aircoord" "$readelf" "$nm" system
