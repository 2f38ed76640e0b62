#!/usr/bin/env bash
# Checks that the daemon's sources use nothing of the bus API that the
# router's headers lack: every bus name in src/ (outside comments and
# strings) must be in the router's list, and the project's bus headers must
# declare what the daemon calls as the router does (router_api.cc).
#   bus_names.sh SOURCE_DIR CXX
set -euo pipefail
src=$1 cxx=$2
here=$(dirname "$0")
known=$(grep -v '^#' "$here/router-bus-names.txt" | awk '{ print $1 }' | sort -u)

# Comments go with the compiler's own reading (no macro is expanded), then
# string and character literals and the include lines.
names() {
	"$cxx" -fpreprocessed -dD -E -P -w -x c++ "$1" |
		sed -E -e '/^[[:space:]]*#[[:space:]]*include/d' \
			-e 's/"([^"\\]|\\.)*"//g' -e "s/'([^'\\\\]|\\\\.)*'//g" |
		grep -oE '\b(_*(blob|blobmsg|ubus|uloop|list|hlist)_[A-Za-z0-9_]*|(BLOB|BLOBMSG|UBUS|ULOOP|LIST)_[A-Z0-9_]*|INIT_LIST_HEAD|container_of[a-z_]*|ARRAY_SIZE|BUILD_BUG_ON|(cpu|be|le)[0-9]*_to_[a-z0-9]+|__constant_swap[0-9]+)\b' |
		sort -u || true
}

fail=0
for f in "$src"/src/*.cc "$src"/src/*.h; do
	for name in $(comm -23 <(names "$f") <(echo "$known")); do
		echo "${f#"$src"/}: $name is not declared by the router's bus headers" >&2
		fail=1
	done
done
"$cxx" -std=c++20 -fsyntax-only -I"$src" "$here/router_api.cc" || fail=1
[ "$fail" = 0 ] && echo "bus names: src/ uses only the router's bus API"
exit "$fail"
