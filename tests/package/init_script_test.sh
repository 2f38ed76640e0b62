#!/bin/sh
# The router package's init script: what it makes of /etc/config/aircoord,
# and that the controller runs with it, at start, on reload and when it is
# started again after a crash.
#
# usage: init_script_test.sh FILES_DIR AIRCOORD AIRCOORD_BUSD AIRCOORD_BUS
#
# The router's helpers (UCI reading, JSON building, the bus CLI, the logger,
# procd) are stubbed here from their documented behaviour; the controller and
# its bus are the real ones, on a private socket, and the controller runs
# with the command line procd is given.
set -u
FILES=$1
AIRCOORD=$2
BUSD=$3
BUS_CLI=$4

WORK=$(mktemp -d)
UCI_CONFIG_DIR=$WORK/config
SOCK=$WORK/bus.sock
LOGFILE=$WORK/logger
mkdir -p "$UCI_CONFIG_DIR"
: >"$LOGFILE"
failed=0
pids=""

cleanup() {
	for p in $pids; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
	rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
	echo "FAIL: $*"
	failed=1
}

# --- UCI: config_load reads $UCI_CONFIG_DIR/NAME into UCI__<section>__<option>
unquote() {
	v=$1
	case $v in
	\'*\') v=${v#\'} v=${v%\'} ;;
	\"*\") v=${v#\"} v=${v%\"} ;;
	esac
	printf '%s' "$v"
}

config_load() {
	local kw name value section n
	for v in $(set | sed -n 's/^\(UCI__[A-Za-z0-9_]*\)=.*/\1/p'); do unset "$v"; done
	n=0
	while read -r kw name value; do
		case $kw in
		config)
			n=$((n + 1))
			section=$(unquote "$value")
			[ -n "$section" ] || section=cfg$n
			;;
		option) eval "UCI__${section}__$name=\$(unquote \"\$value\")" ;;
		list)
			eval "c=\${UCI__${section}__${name}_n:-0}"
			c=$((c + 1))
			eval "UCI__${section}__${name}_n=$c"
			eval "UCI__${section}__${name}_$c=\$(unquote \"\$value\")"
			;;
		esac
	done <"$UCI_CONFIG_DIR/$1"
}

config_get() {
	eval "$1=\${UCI__$2__$3:-\${4:-}}"
}

config_get_bool() {
	local b
	config_get b "$2" "$3" "${4:-0}"
	case $b in
	1 | on | true | yes | enabled) b=1 ;;
	0 | off | false | no | disabled) b=0 ;;
	*) b=${4:-0} ;;
	esac
	eval "$1=$b"
}

config_list_foreach() {
	local i c
	eval "c=\${UCI__$1__$2_n:-0}"
	i=1
	while [ "$i" -le "$c" ]; do
		eval "$3 \"\$UCI__$1__$2_$i\""
		i=$((i + 1))
	done
}

# --- JSON: compact text, as the bus CLI prints it with -S
json_init() { JSON_TEXT="" JSON_SEP=""; }
json_raw() {
	if [ -n "$1" ]; then JSON_TEXT="$JSON_TEXT$JSON_SEP\"$1\":$2"; else JSON_TEXT="$JSON_TEXT$JSON_SEP$2"; fi
	JSON_SEP=,
}
json_add_int() { json_raw "$1" "$2"; }
json_add_boolean() { if [ "$2" = 1 ]; then json_raw "$1" true; else json_raw "$1" false; fi; }
json_add_string() { json_raw "$1" "\"$2\""; }
json_add_array() { json_raw "$1" "[" && JSON_SEP=""; }
json_close_array() { JSON_TEXT="$JSON_TEXT]" JSON_SEP=,; }
json_dump() { printf '{%s}\n' "$JSON_TEXT"; }

# --- the rest of the router
logger() { shift 2 && echo "$*" >>"$LOGFILE"; }
ubus() { "$BUS_CLI" -s "$SOCK" -S "$@"; }
# procd, as far as the script tells it things; its signals go to the
# controller this test runs.
PROCD="" COMMAND="" daemon=""
procd_open_instance() { PROCD="$PROCD open;"; }
procd_set_param() {
	PROCD="$PROCD $*;"
	if [ "$1" = command ]; then shift && COMMAND="$*"; fi
}
procd_close_instance() { PROCD="$PROCD close;"; }
procd_add_reload_trigger() { PROCD="$PROCD reload-trigger $*;"; }
procd_send_signal() { PROCD="$PROCD signal $*;" && [ -z "$daemon" ] || kill -HUP "$daemon"; }
start() { start_service; }
stop() { PROCD="$PROCD stop;"; }

. "$FILES/aircoord.init"
AIRCOORD_SETTINGS=$WORK/aircoord.json

# --- the translation, file by file
DEFAULTS='{"steer_rssi_threshold":-65,"steer_rssi_margin":8,"steer_max_age":30,"neighbor_interval":10,"bss_refresh_interval":30,"cmd_timeout":8,"radar_channel":36,"radar_hold":3600,"steering":true,"roam_cleanup":true,"duplicate_removal":true,"steer_exclude_extra":[]}'
EDITED_JSON='{"steer_rssi_threshold":-70,"steer_rssi_margin":5,"steer_max_age":30,"neighbor_interval":20,"bss_refresh_interval":30,"radar_channel":36,"radar_hold":3600,"steering":false,"roam_cleanup":true,"duplicate_removal":false,"steer_exclude_extra":["5c:aa:bb:01:02:03","5c:aa:bb:0a:0b:0c"]}'
cat >"$WORK/edited" <<'UCI'
# a user's file: options changed, one deleted, one mistyped, two list lines
config aircoord 'main'
	option steer_rssi_threshold "-70"
	option steer_rssi_margin '5'
	option neighbor_interval 20
	option cmd_timeout 'eight'
	option steering 'off'
	option duplicate_removal 'no'
	list steer_exclude_extra '5c:aa:bb:01:02:03'
	list steer_exclude_extra '5c:aa:bb:0a:0b:0c'
UCI
: >"$WORK/empty"

check_translation() { # name file expected-json expected-log
	cp "$2" "$UCI_CONFIG_DIR/aircoord"
	: >"$LOGFILE"
	got=$(aircoord_config_json)
	[ "$got" = "$3" ] || fail "$1: sent $got, expected $3"
	[ "$(cat "$LOGFILE")" = "$4" ] || fail "$1: logged '$(cat "$LOGFILE")', expected '$4'"
}
check_translation "shipped file" "$FILES/aircoord.config" "$DEFAULTS" ""
check_translation "edited file" "$WORK/edited" "$EDITED_JSON" \
	"option cmd_timeout: 'eight' is not a number; ignored"
check_translation "empty file" "$WORK/empty" "$DEFAULTS" ""

# --- the controller runs with the file's settings: from the start, after a
# reload, and when procd starts it again after a crash
# The command line procd was given, on the test's bus and pid file, and
# logging to a file rather than to syslog.
run_instance() {
	local args=""
	set -- $COMMAND
	[ "$1" = /usr/sbin/aircoord ] || fail "procd runs $1"
	shift
	for w; do [ "$w" = -l ] || args="$args $w"; done
	"$AIRCOORD" $args -o "$WORK/aircoord.log" -s "$SOCK" -p "$WORK/aircoord.pid" &
	daemon=$!
	pids="$pids $daemon"
}
config_holds() { # what expected-json
	local i=0 got=""
	while [ "$i" -lt 200 ]; do
		got=$(ubus call aircoord get_config 2>/dev/null) && [ "$got" = "$2" ] && return 0
		i=$((i + 1)) && sleep 0.05
	done
	fail "$1: the controller holds '$got', expected $2"
}

"$BUSD" -s "$SOCK" &
pids="$pids $!"
# A controller that read no settings file, on a bus of its own: the
# defaults and ranges checked at the end are its own.
"$BUSD" -s "$WORK/own.sock" &
pids="$pids $!"
i=0
until [ -S "$SOCK" ] && [ -S "$WORK/own.sock" ] || [ "$i" -ge 200 ]; do i=$((i + 1)) && sleep 0.05; done
"$AIRCOORD" -d -o "$WORK/own.log" -s "$WORK/own.sock" -p "$WORK/own.pid" &
pids="$pids $!"
instance=" open; command /usr/sbin/aircoord -d -l -c $WORK/aircoord.json; respawn; term_timeout 2; close;"

cp "$WORK/edited" "$UCI_CONFIG_DIR/aircoord"
start_service
[ "$PROCD" = "$instance" ] || fail "start: procd was told '$PROCD'"
run_instance
config_holds start "$(echo "$EDITED_JSON" | sed 's/"bss_refresh_interval":30,/&"cmd_timeout":8,/')"

sed -e "s/steer_rssi_margin '8'/steer_rssi_margin '12'/" -e "s/cmd_timeout '8'/cmd_timeout '5'/" \
	"$FILES/aircoord.config" >"$UCI_CONFIG_DIR/aircoord"
SECOND=$(echo "$DEFAULTS" | sed -e 's/"steer_rssi_margin":8/"steer_rssi_margin":12/' \
	-e 's/"cmd_timeout":8/"cmd_timeout":5/')
PROCD=""
reload_service
[ "$PROCD" = " signal aircoord;$instance" ] || fail "reload: procd was told '$PROCD'"
config_holds reload "$SECOND"

kill -9 "$daemon"
wait "$daemon" 2>/dev/null
run_instance
config_holds "started again after SIGKILL" "$SECOND"

# --- enabled '0': no instance, and a reload stops the one there is
sed -i "s/option enabled '1'/option enabled '0'/" "$UCI_CONFIG_DIR/aircoord"
PROCD=""
start_service
[ "$PROCD" = "" ] || fail "disabled: start told procd '$PROCD'"
reload_service
[ "$PROCD" = " stop;" ] || fail "disabled: reload told procd '$PROCD'"
PROCD=""
service_triggers
[ "$PROCD" = " reload-trigger aircoord;" ] || fail "triggers: '$PROCD'"

# --- the init script's defaults and the shipped file, against the
# controller's own: every setting get_config shows, with the value it
# starts with and the range its refusals state
own() { "$BUS_CLI" -s "$WORK/own.sock" -S "$@"; }
refusal() { own call aircoord set_config "$1" 2>/dev/null | sed -n 's/.*"error":"\(.*\)"}$/\1/p'; }
i=0
until OWN=$(own call aircoord get_config 2>/dev/null) || [ "$i" -ge 200 ]; do i=$((i + 1)) && sleep 0.05; done
[ -n "$OWN" ] || fail "the controller without a settings file does not answer"
members() { printf '%s\n' "$1" | sed 's/^{//; s/}$//; s/,"/\n"/g' | sort; }
for f in "$WORK/empty" "$FILES/aircoord.config"; do
	cp "$f" "$UCI_CONFIG_DIR/aircoord"
	[ "$(members "$(aircoord_config_json)")" = "$(members "$OWN")" ] ||
		fail "$(basename "$f"): the init script sends $(aircoord_config_json), the controller starts with $OWN"
done
# The comment lines right above an option (or its list line), as one line.
comment_of() {
	awk -v n="$1" '($1 == "option" || $1 == "#list") && $2 == n { print b; exit }
		/^[ \t]*#/ { sub(/^[ \t]*# ?/, ""); b = b " " $0; next } { b = "" }' "$FILES/aircoord.config"
}
forty_macs=$(printf '"",%.0s' $(seq 39))'""'
for m in $(members "$OWN"); do
	name=${m%%\":*} name=${name#\"} value=${m#*\":}
	line=$(awk -v n="$name" '($1 == "option" || $1 == "#list") && $2 == n { print $1, $3 }' \
		"$FILES/aircoord.config")
	case $value in
	true | false)
		want="(0 or 1)" shipped="option '$([ "$value" = true ] && echo 1 || echo 0)'"
		[ "$(refusal "{\"$name\":2}")" = "$name: 2 is not true or false" ] ||
			fail "$name: not refused as a switch"
		;;
	\[*)
		want="($(refusal "{\"$name\":[$forty_macs]}" | sed -n 's/.*, \(at most [0-9]*\)$/\1/p'))"
		shipped="#list '*"
		;;
	*)
		why=$(refusal "{\"$name\":1000000}")
		[ -n "$why" ] || fail "$name: 1000000 not refused"
		case $why in
		*" is not one of "*) want="(${why#* is not one of })" ;;
		*) want=" ${why#* is out of range })" ;;
		esac
		shipped="option '$value'"
		;;
	esac
	case $line in $shipped) ;; *) fail "$name: shipped as '$line', the controller starts with $value" ;; esac
	case $(comment_of "$name") in
	*"$want"*) ;;
	*) fail "$name: its comment does not say $want" ;;
	esac
done
for name in $(awk '$1 == "option" && $2 != "enabled" { print $2 }' "$FILES/aircoord.config"); do
	case $OWN in *"\"$name\":"*) ;; *) fail "option $name: no such setting" ;; esac
done

[ "$failed" = 0 ] && echo "init script: all checks passed"
exit "$failed"
