// The tunables: one table of the settings, from which the defaults, the
// set_config argument check, its signature and get_config are made, and what
// a new configuration changes at once (timer periods, the exclusion list).
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "src/bus.h"
#include "src/cmd.h"
#include "src/cntlr.h"
#include "src/cntlr_config.h"
#include "src/utils.h"

int cntlr_cmd_timeout(const struct cntlr *c)
{
	return c && c->cfg.cmd_timeout > 0 ? c->cfg.cmd_timeout : CMD_TIMEOUT_SEC;
}

int cntlr_config_excluded(const struct cntlr_config *cfg, const uint8_t *sta)
{
	for (int i = 0; i < cfg->num_steer_exclude_extra; i++) {
		if (!memcmp(cfg->steer_exclude_extra[i], sta, 6))
			return 1;
	}
	return 0;
}

// A setting's type is its type on the bus: an integer, a switch, or an
// array of MAC address texts.
enum cfg_type : uint8_t {
	CFG_INT = BLOBMSG_TYPE_INT32,
	CFG_BOOL = BLOBMSG_TYPE_BOOL,
	CFG_MACS = BLOBMSG_TYPE_ARRAY,
};

struct cfg_key {
	const char *name; // also the member of struct cntlr_config that holds it
	const int *only;  // CFG_INT: the values allowed within the range, 0-ended
	int32_t min, max; // CFG_INT: the range; CFG_MACS: at most `max` entries
	int32_t def;      // CFG_INT, CFG_BOOL: the default
	enum cfg_type type;
	uint8_t offset; // of the member in struct cntlr_config
};

// Non-DFS 5 GHz channels with 80 MHz room: no radar to wait for there.
static constexpr int radar_channels[] = {36, 40, 44, 48, 149, 153, 157, 161, 0};

// Every setting, once, in get_config's order: the parse, set_config's
// signature, get_config and the defaults all read this table. What a new
// value re-arms is cntlr_config_apply's.
#define CFG(name, type, def, min, max, only)                                                       \
	{#name, only, min, max, def, type, offsetof(struct cntlr_config, name)}
static constexpr struct cfg_key cfg_keys[] = {
	CFG(steer_rssi_threshold, CFG_INT, -65, -95, -40, nullptr),
	CFG(steer_rssi_margin, CFG_INT, 8, 0, 40, nullptr),
	CFG(steer_max_age, CFG_INT, 30, 1, 300, nullptr),
	CFG(neighbor_interval, CFG_INT, CNTLR_NBR_PERIOD_MS / 1000, 2, 3600, nullptr),
	CFG(bss_refresh_interval, CFG_INT, NODE_BSSINFO_PERIOD_MS / 1000, 5, 3600, nullptr),
	CFG(cmd_timeout, CFG_INT, CMD_TIMEOUT_SEC, 1, 30, nullptr),
	CFG(radar_channel, CFG_INT, 36, 36, 161, radar_channels),
	CFG(radar_hold, CFG_INT, 3600, 60, 86400, nullptr),
	CFG(steering, CFG_BOOL, 1, 0, 1, nullptr),
	CFG(roam_cleanup, CFG_BOOL, 1, 0, 1, nullptr),
	CFG(duplicate_removal, CFG_BOOL, 1, 0, 1, nullptr),
	CFG(steer_exclude_extra, CFG_MACS, 0, 0, STEER_EXCLUDE_EXTRA_MAX, nullptr),
};
#define CFG_NKEYS (int)(sizeof(cfg_keys) / sizeof(cfg_keys[0]))
static_assert(CFG_NKEYS == CNTLR_NSETTINGS, "CNTLR_NSETTINGS counts the table");
static_assert(sizeof(struct cntlr_config) <= 255, "offsets fit in a byte");

void cntlr_config_defaults(struct cntlr_config *cfg)
{
	memset(cfg, 0, sizeof(*cfg));
	for (int i = 0; i < CFG_NKEYS; i++) {
		const struct cfg_key *k = &cfg_keys[i];
		char *field = reinterpret_cast<char *>(cfg) + k->offset;

		if (k->type == CFG_INT)
			*reinterpret_cast<int32_t *>(field) = k->def;
		else if (k->type == CFG_BOOL)
			*reinterpret_cast<uint8_t *>(field) = static_cast<uint8_t>(k->def);
	}
}

// Made from the table when the daemon is built.
static constexpr struct cntlr_config_policy config_policy()
{
	struct cntlr_config_policy p = {};

	for (int i = 0; i < CFG_NKEYS; i++) {
		p.key[i].name = cfg_keys[i].name;
		p.key[i].type = static_cast<enum blobmsg_type>(cfg_keys[i].type);
	}
	return p;
}
constinit const struct cntlr_config_policy set_config_policy = config_policy();

int cntlr_blob_count(const void *data, int len)
{
	const char *pos = static_cast<const char *>(data);
	int rem = len;
	int n = 0;

	while (rem > 0) {
		const struct blob_attr *a = reinterpret_cast<const struct blob_attr *>(pos);
		int raw;

		if (rem < (int)sizeof(struct blob_attr))
			return -1;
		raw = (int)blob_raw_len(a);
		if (raw < (int)sizeof(struct blob_attr) || raw > rem)
			return -1;
		raw = (int)blob_pad_len(a) < rem ? (int)blob_pad_len(a) : rem;
		pos += raw;
		rem -= raw;
		n++;
	}
	return n;
}

static bool int_value(struct blob_attr *a, int64_t *v)
{
	switch (blobmsg_type(a)) {
	case BLOBMSG_TYPE_INT16:
		*v = (int16_t)blobmsg_get_u16(a);
		return true;
	case BLOBMSG_TYPE_INT32:
		*v = (int32_t)blobmsg_get_u32(a);
		return true;
	case BLOBMSG_TYPE_INT64:
		*v = (int64_t)blobmsg_get_u64(a);
		return true;
	default:
		return false;
	}
}

static bool in_list(const int *only, int64_t v)
{
	for (; *only; only++) {
		if (*only == v)
			return true;
	}
	return false;
}

// A caller's text fit for a log line: at most 32 bytes, anything but
// printable ASCII as '?'. `buf` holds 33 bytes.
static const char *printable(const char *text, char *buf)
{
	int i = 0;

	for (; text[i] && i < 32; i++)
		buf[i] = text[i] >= 0x20 && text[i] < 0x7f ? text[i] : '?';
	buf[i] = '\0';
	return buf;
}

// What a member holds, for a refusal: a number or switch as its value, a
// text quoted, anything else by its kind. `buf` holds 40 bytes.
static const char *value_text(struct blob_attr *a, char *buf)
{
	char text[33];
	int64_t v;

	if (int_value(a, &v)) {
		snprintf(buf, 40, "%lld", (long long)v);
		return buf;
	}
	switch (blobmsg_type(a)) {
	case BLOBMSG_TYPE_BOOL:
		return blobmsg_get_bool(a) ? "true" : "false";
	case BLOBMSG_TYPE_DOUBLE:
		snprintf(buf, 40, "%g", blobmsg_get_double(a));
		return buf;
	case BLOBMSG_TYPE_STRING:
		snprintf(buf, 40, "\"%s\"", printable(blobmsg_get_string(a), text));
		return buf;
	case BLOBMSG_TYPE_ARRAY:
		return "an array";
	default:
		return "a table";
	}
}

// The values an integer key takes: "0..40", or "one of 36, 40, ...".
static const char *allowed_text(const struct cfg_key *k, char *buf, int len)
{
	int n = 0;

	if (!k->only) {
		snprintf(buf, len, "%d..%d", k->min, k->max);
		return buf;
	}
	n = snprintf(buf, len, "one of");
	for (const int *v = k->only; *v && n < len; v++)
		n += snprintf(buf + n, len - n, "%s %d", v == k->only ? "" : ",", *v);
	return buf;
}

// The member the router's web and RPC gateways add to every call they
// forward: a string naming the caller's session.
static const struct blobmsg_policy session_policy = {"ubus_rpc_session", BLOBMSG_TYPE_STRING};

struct blob_attr *cntlr_args_session(struct blob_attr *msg)
{
	struct blob_attr *tb = nullptr;

	if (msg && blob_len(msg))
		blobmsg_parse(&session_policy, 1, &tb, blob_data(msg), blob_len(msg));
	return tb;
}

// Why not every member of `msg` was taken: the first one that no key (in
// `tb`) and no session took.
static void why_untaken(struct blob_attr *msg, struct blob_attr *const *tb, char *why,
			int why_len)
{
	struct blob_attr *session = cntlr_args_session(msg);
	struct blob_attr *a;
	size_t rem;

	blob_for_each_attr(a, msg, rem) {
		const char *name;
		char text[33];
		bool known = false;

		if (!blobmsg_check_attr(a, true)) {
			snprintf(why, why_len, "malformed arguments");
			return;
		}
		if (a == session)
			continue;
		for (int i = 0; i < CFG_NKEYS && !known; i++)
			known = tb[i] == a;
		if (known)
			continue;
		name = blobmsg_name(a);
		for (int i = 0; i < CFG_NKEYS && !known; i++)
			known = !strcmp(name, cfg_keys[i].name);
		if (!strcmp(name, session_policy.name) && blobmsg_type(a) != BLOBMSG_TYPE_STRING)
			snprintf(why, why_len, "%s: not a string", name);
		else if (known || !strcmp(name, session_policy.name))
			snprintf(why, why_len, "%s: given more than once", name);
		else
			snprintf(why, why_len, "%s: unknown key", printable(name, text));
		return;
	}
	snprintf(why, why_len, "malformed arguments");
}

// The array of MAC texts into `out`; false with `why` set when it is not one.
static bool read_macs(const struct cfg_key *k, struct blob_attr *a, struct cntlr_config *out,
		      char *why, int why_len)
{
	// Every element is checked before anything of it is read; bytes the
	// walk would skip quietly make it no array either.
	int n = blobmsg_check_array(a, BLOBMSG_TYPE_UNSPEC);
	struct blob_attr *e;
	size_t rem;
	int i = 0;

	if (n < 0 || blobmsg_type(a) != BLOBMSG_TYPE_ARRAY ||
	    n != cntlr_blob_count(blobmsg_data(a), (int)blobmsg_data_len(a))) {
		snprintf(why, why_len, "%s: not an array of MAC addresses", k->name);
		return false;
	}
	if (n > k->max) {
		snprintf(why, why_len, "%s: %d addresses, at most %d", k->name, n, k->max);
		return false;
	}
	blobmsg_for_each_attr(e, a, rem) {
		const char *text =
			blobmsg_type(e) == BLOBMSG_TYPE_STRING ? blobmsg_get_string(e) : "";

		if (strlen(text) != 17 || !hwaddr_aton(text, out->steer_exclude_extra[i])) {
			snprintf(why, why_len, "%s[%d]: not a MAC address", k->name, i);
			return false;
		}
		i++;
	}
	out->num_steer_exclude_extra = n;
	return true;
}

int cntlr_config_parse(const struct cntlr_config *cur, struct blob_attr *msg,
		       struct cntlr_config *out, char *why, int why_len)
{
	struct blobmsg_policy policy[CFG_NKEYS];
	struct blob_attr *tb[CFG_NKEYS] = {};
	struct cntlr_config next = *cur;
	int given = 0, found = 0;

	*out = *cur;
	why[0] = '\0';
	// Policies without a type take any type: the checks below name the
	// key whose type is wrong.
	for (int i = 0; i < CFG_NKEYS; i++)
		policy[i] = {cfg_keys[i].name, BLOBMSG_TYPE_UNSPEC};
	if (msg) {
		given = cntlr_blob_count(blob_data(msg), (int)blob_len(msg));
		if (given < 0 || (given > 0 && blobmsg_parse(policy, CFG_NKEYS, tb, blob_data(msg),
							      blob_len(msg)) < 0)) {
			snprintf(why, why_len, "malformed arguments");
			return UBUS_STATUS_INVALID_ARGUMENT;
		}
	}

	for (int i = 0; i < CFG_NKEYS; i++) {
		const struct cfg_key *k = &cfg_keys[i];
		char *field = reinterpret_cast<char *>(&next) + k->offset;
		char value[40], allowed[64];
		int64_t v;

		if (!tb[i])
			continue;
		found++;
		switch (k->type) {
		case CFG_INT:
			if (!int_value(tb[i], &v)) {
				snprintf(why, why_len, "%s: %s is not an integer (%s)", k->name,
					 value_text(tb[i], value), allowed_text(k, allowed, sizeof(allowed)));
				return UBUS_STATUS_INVALID_ARGUMENT;
			}
			if (k->only && !in_list(k->only, v)) {
				snprintf(why, why_len, "%s: %lld is not %s", k->name, (long long)v,
					 allowed_text(k, allowed, sizeof(allowed)));
				return UBUS_STATUS_INVALID_ARGUMENT;
			}
			if (v < k->min || v > k->max) {
				snprintf(why, why_len, "%s: %lld is out of range %d..%d", k->name,
					 (long long)v, k->min, k->max);
				return UBUS_STATUS_INVALID_ARGUMENT;
			}
			*reinterpret_cast<int32_t *>(field) = static_cast<int32_t>(v);
			break;
		case CFG_BOOL:
			if (blobmsg_type(tb[i]) != BLOBMSG_TYPE_BOOL) {
				snprintf(why, why_len, "%s: %s is not true or false", k->name,
					 value_text(tb[i], value));
				return UBUS_STATUS_INVALID_ARGUMENT;
			}
			*reinterpret_cast<uint8_t *>(field) = blobmsg_get_bool(tb[i]) ? 1 : 0;
			break;
		case CFG_MACS:
			if (!read_macs(k, tb[i], &next, why, why_len))
				return UBUS_STATUS_INVALID_ARGUMENT;
			break;
		}
	}
	// Every member must have been one of the keys, each given once; the
	// web gateways' session comes with every call they forward.
	if (found + (cntlr_args_session(msg) != nullptr) != given) {
		why_untaken(msg, tb, why, why_len);
		return UBUS_STATUS_INVALID_ARGUMENT;
	}
	*out = next;
	return UBUS_STATUS_OK;
}

// Re-arms an armed timer for `secs` when its period changed.
static void rearm(struct uloop_timeout *t, int32_t secs)
{
	if (uloop_timeout_remaining64(t) >= 0)
		uloop_timeout_set(t, secs * 1000);
}

void cntlr_config_apply(struct cntlr *c, const struct cntlr_config *next)
{
	struct cntlr_config old = c->cfg;
	struct node *n;

	c->cfg = *next;
	if (old.neighbor_interval != next->neighbor_interval)
		rearm(&c->nbr_timer, next->neighbor_interval);
	if (old.bss_refresh_interval != next->bss_refresh_interval) {
		list_for_each_entry(n, &c->nodelist, list)
			rearm(&n->bssinfo_timer, next->bss_refresh_interval);
	}
	// A hold under way keeps its start: it ends `radar_hold` after it.
	if (old.radar_hold != next->radar_hold && uloop_timeout_remaining64(&c->channel_timer) >= 0) {
		int64_t left = c->radar_hold_since + next->radar_hold - cntlr_now();

		uloop_timeout_set(&c->channel_timer, left > 0 ? (int)(left * 1000) : 0);
	}
	// The caller is a bus handler that replies first: the list goes out
	// from the loop right after, so no agent holds the reply up.
	if (old.num_steer_exclude_extra != next->num_steer_exclude_extra ||
	    memcmp(old.steer_exclude_extra, next->steer_exclude_extra,
		   sizeof(old.steer_exclude_extra))) {
		c->exclude_pending = 1;
		uloop_timeout_set(&c->resync_timer, 0);
	}
}

void cntlr_config_to_blob(const struct cntlr_config *cfg, struct blob_buf *b)
{
	for (int i = 0; i < CFG_NKEYS; i++) {
		const struct cfg_key *k = &cfg_keys[i];
		const char *field = reinterpret_cast<const char *>(cfg) + k->offset;

		switch (k->type) {
		case CFG_INT:
			blobmsg_add_u32(b, k->name,
					(uint32_t)*reinterpret_cast<const int32_t *>(field));
			break;
		case CFG_BOOL:
			blobmsg_add_u8(b, k->name, *reinterpret_cast<const uint8_t *>(field));
			break;
		case CFG_MACS: {
			void *arr = blobmsg_open_array(b, k->name);
			char text[18];

			for (int j = 0; j < cfg->num_steer_exclude_extra; j++)
				blobmsg_add_string(b, nullptr,
						   hwaddr_ntoa(cfg->steer_exclude_extra[j], text));
			blobmsg_close_array(b, arr);
			break;
		}
		}
	}
}
