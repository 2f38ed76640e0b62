#!/usr/bin/env bash
# Checks that the daemon needs nothing a router lacks: its NEEDED entries are
# libc and json-c (and the router's bus libraries when built against them),
# and it refers to no symbol of the C++ runtime.
#   needed.sh DAEMON READELF NM [system]
set -euo pipefail
daemon=$1 readelf=$2 nm=$3 mode=${4:-}
allowed='libc\.so.*|libjson-c\.so.*'
[ "$mode" = system ] && allowed="$allowed|libubox\.so.*|libubus\.so.*|libblobmsg_json\.so.*"

needed=$("$readelf" -d "$daemon" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "NEEDED: $(echo $needed)"
fail=0
for lib in $needed; do
	[[ $lib =~ ^($allowed)$ ]] || { echo "unexpected NEEDED entry: $lib" >&2; fail=1; }
done
for lib in libc libjson-c; do
	grep -q "^$lib\.so" <<<"$needed" || { echo "$lib is not among the NEEDED entries" >&2; fail=1; }
done
if [ "$mode" = system ]; then
	for lib in libubox libubus libblobmsg_json; do
		grep -q "^$lib\.so" <<<"$needed" || { echo "$lib is not among the NEEDED entries" >&2; fail=1; }
	done
fi
# Mangled names, the ABI's helpers and the unwinder belong to the C++ runtime.
cxx=$("$nm" -D --undefined-only "$daemon" | awk '{ print $NF }' |
	grep -E '^(_Z|__cxa_|__gxx_|_Unwind_)' | grep -v '^__cxa_finalize' || true)
if [ -n "$cxx" ]; then
	echo "refers to the C++ runtime:" $cxx >&2
	fail=1
fi
exit $fail
