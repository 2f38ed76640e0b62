#!/usr/bin/env bash
# Checks a router package recipe for what a firmware build tree requires of
# it, since no such tree exists on a development machine.
#   recipe_lint.sh PACKAGE_DIR [PROJECT_DIR]
set -euo pipefail
dir=$1 project=${2:-}
mk=$dir/Makefile
fail=0
bad() { echo "$mk: $*" >&2; fail=1; }

[ -f "$mk" ] || { echo "$mk: missing" >&2; exit 1; }

value() { sed -n "s/^$1:=[[:space:]]*\(.*\)$/\1/p" "$mk" | head -n1; }
for var in PKG_NAME PKG_VERSION PKG_RELEASE PKG_LICENSE PKG_MAINTAINER; do
	[ -n "$(value "$var")" ] || bad "$var is not set"
done
name=$(value PKG_NAME)
if [ -n "$project" ]; then
	version=$(sed -n 's/^project([a-z]* VERSION \([0-9.]*\).*/\1/p' "$project/CMakeLists.txt")
	[ "$(value PKG_VERSION)" = "$version" ] ||
		bad "PKG_VERSION $(value PKG_VERSION) is not the project's version ($version)"
fi

# rules.mk comes first; package.mk only after the PKG_ variables it reads.
first_include=$(grep -n '^include ' "$mk" | head -n1 || true)
[[ $first_include == *'include $(TOPDIR)/rules.mk' ]] || bad "the first include is not \$(TOPDIR)/rules.mk"
pkg_mk=$(grep -n '^include $(INCLUDE_DIR)/package.mk' "$mk" | cut -d: -f1 | head -n1)
last_var=$(grep -n '^PKG_[A-Z_]*:=' "$mk" | tail -n1 | cut -d: -f1)
[ -n "$pkg_mk" ] || bad "\$(INCLUDE_DIR)/package.mk is not included"
[ -z "$pkg_mk" ] || [ -z "$last_var" ] || [ "$pkg_mk" -gt "$last_var" ] ||
	bad "package.mk is included before the PKG_ variables"

# Prints the body of `define NAME` ... `endef`.
section() { awk -v s="define $1" '$0 == s { on = 1; next } on && /^endef/ { exit } on' "$mk"; }
has_section() { grep -qxF "define $1" "$mk"; }

[ "$(grep -c '^define ' "$mk")" -eq "$(grep -c '^endef' "$mk")" ] || bad "define/endef do not pair"
has_section "Package/$name" || bad "no 'define Package/$name'"
for field in SECTION CATEGORY TITLE DEPENDS; do
	section "Package/$name" | grep -q "^[[:space:]]*$field:=." || bad "Package/$name has no $field"
done
for dep in +libubox +libubus +libblobmsg-json +libjson-c; do
	section "Package/$name" | grep -q "^[[:space:]]*DEPENDS:=.*$dep\b" ||
		bad "Package/$name does not depend on $dep"
done
has_section "Package/$name/description" || bad "no 'define Package/$name/description'"

has_section "Package/$name/install" || bad "no 'define Package/$name/install'"
install=$(section "Package/$name/install")
# Install lines become recipe lines: make needs them tab-indented.
if grep -qv $'^\t' <<<"$install"; then bad "install lines must start with a tab"; fi
grep -q "INSTALL_BIN) \$(PKG_BUILD_DIR)/$name " <<<"$install" || bad "the daemon is not installed"
for f in $(grep -o '\./files/[^ ]*' <<<"$install"); do
	[ -f "$dir/$f" ] || bad "installs $f, which does not exist"
done
# rpcd reads its ACLs as plain files (mode 0644).
grep -q "INSTALL_DATA) ./files/[^ ]*\.json \$(1)/usr/share/rpcd/acl.d/$name\.json$" <<<"$install" ||
	bad "the rpcd ACL is not installed as /usr/share/rpcd/acl.d/$name.json with INSTALL_DATA"
# Whatever goes to /etc/config is the user's: upgrades must keep it.
for conf in $(grep -o '$(1)/etc/config/[^ ]*' <<<"$install" | sed 's/^$(1)//'); do
	section "Package/$name/conffiles" | grep -qxF "$conf" || bad "$conf is not listed in conffiles"
done

grep -q '^CMAKE_OPTIONS.*-DAIRCOORD_SYSTEM_BUS=ON' "$mk" || bad "the daemon is not built against the router's bus"
if grep -q 'AIRCOORD_WERROR=ON' "$mk"; then bad "a firmware build must not turn warnings into errors"; fi
[ "$(grep -v '^[[:space:]]*$' "$mk" | tail -n1)" = "\$(eval \$(call BuildPackage,$name))" ] ||
	bad "the recipe does not end with \$(eval \$(call BuildPackage,$name))"

exit $fail
