#include <arpa/inet.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <json-c/json.h>

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "src/bus.h"
#include "src/cntlr.h"
#include "src/cntlr_bss.h"
#include "src/cntlr_health.h"
#include "src/cntlr_history.h"
#include "src/cntlr_node.h"
#include "src/cntlr_sta.h"
#include "src/log.h"
#include "src/mtrace.h"
#include "src/utils.h"

static const char *const node_objects[] = {
	"router.system", "router.graph", "router.network", "wifix", "wifi.agent",
};

// Path of `name` behind `prefix` ("prefix/name", or "name" for the local
// box). False when it does not fit the buffer: such a path is never looked
// up nor registered cut short.
static bool node_object_path(char *buf, size_t size, const char *prefix, const char *name)
{
	int n;

	memset(buf, 0, size);
	n = snprintf(buf, size, "%s%s%s", prefix, prefix[0] ? "/" : "", name);
	return n >= 0 && (size_t)n < size;
}

// The id fields of node_objects[i], in the same order.
static uint32_t *node_object_id(struct node *n, size_t i)
{
	uint32_t *ids[] = {&n->system_id, &n->graph_id, &n->network_id, &n->wifix_id,
			   &n->agent_id};

	return ids[i];
}

void node_lookup_objects(struct node *n, const char *prefix)
{
	char path[PREFIX_MAX];

	for (size_t i = 0; i < sizeof(node_objects) / sizeof(node_objects[0]); i++) {
		bool fits = node_object_path(path, sizeof(path), prefix, node_objects[i]);
		uint32_t *id = node_object_id(n, i);

		if (!fits || ubus_lookup_id(n->cntlr->ctx, path, id) != 0) {
			*id = (uint32_t)-1;
			log_message(LOG_LEVEL_TRACE, TRACE_MSG("object '%s' not present!\n"), path);
		}
	}
}

int node_object_prefix(const char *path, const char *name, char *prefix)
{
	size_t len = strlen(path), nl = strlen(name);

	memset(prefix, 0, PREFIX_MAX);
	if (len < nl || strcmp(path + len - nl, name))
		return -1;
	if (len == nl)
		return 0;
	if (path[len - nl - 1] != '/' || len - nl - 1 >= PREFIX_MAX)
		return -1;
	memcpy(prefix, path, len - nl - 1);
	return 0;
}

void node_prefix(const struct node *n, char *buf)
{
	buf[0] = '\0';
	if (!n->is_local)
		inet_ntop(AF_INET, &n->ipaddr, buf, INET_ADDRSTRLEN);
}

struct node *node_by_prefix(struct cntlr *c, const char *prefix)
{
	struct in_addr addr = {};
	struct node *n;

	// Silently: the rescan offers every object of the bus.
	if (prefix[0] && !inet_aton(prefix, &addr))
		return nullptr;
	list_for_each_entry(n, &c->nodelist, list) {
		if (prefix[0] ? !n->is_local && n->ipaddr.s_addr == addr.s_addr : n->is_local)
			return n;
	}
	return nullptr;
}

int node_note_object(struct cntlr *c, const char *path, uint32_t id)
{
	for (size_t i = 0; i < sizeof(node_objects) / sizeof(node_objects[0]); i++) {
		char prefix[PREFIX_MAX];
		struct node *n;
		uint32_t *old;

		if (node_object_prefix(path, node_objects[i], prefix) < 0)
			continue;
		n = node_by_prefix(c, prefix);
		if (!n)
			return 0;
		old = node_object_id(n, i);
		if (*old == id)
			return 0;
		log_message(LOG_LEVEL_TRACE, TRACE_MSG("object '%s' id %08x -> %08x\n"), path,
			    *old, id);
		*old = id;
		if (old == &n->agent_id) {
			n->restarted = 1;
			// A new agent is judged afresh.
			node_health_release(n);
		}
		return 1;
	}
	return 0;
}

struct node *alloc_node_init(struct cntlr *c, const char *prefix)
{
	struct node *n;

	n = static_cast<struct node *>(MTRACE_CALLOC(1, sizeof(struct node)));
	if (!n) {
		log_message(LOG_LEVEL_ERROR, ERROR_MSG("OOM: node malloc failed!\n"));
		return nullptr;
	}

	n->cntlr = c;
	n->bssinfo_timer.cb = node_bssinfo_timer;
	INIT_LIST_HEAD(&n->fhbsslist);
	n->depth = -1;

	if (prefix[0]) {
		inet_aton(prefix, &n->ipaddr);
		n->is_local = 0;
		n->is_remote = 1;
	} else {
		n->is_local = 1;
		n->is_remote = 0;
		c->lnode = n;
		log_message(LOG_LEVEL_TRACE, TRACE_MSG("lnode = %p\n"), (void *)n);
	}

	node_lookup_objects(n, prefix);

	n->event_handler.cb = node_event_handler;
	node_register_events(n, prefix);

	uloop_timeout_set(&n->bssinfo_timer, NODE_BSSINFO_FIRST_MS);
	return n;
}

void node_register_events(struct node *n, const char *prefix)
{
	const char *patterns[] = {"wifi*", "client*"};
	char path[PREFIX_MAX];

	for (const char *pattern : patterns) {
		if (node_object_path(path, sizeof(path), prefix, pattern))
			ubus_register_event_handler(n->cntlr->ctx, &n->event_handler, path);
	}
}

int topology_add_node(struct cntlr *c, const char *prefix)
{
	struct in_addr addr;
	struct node *n;

	if (!prefix) {
		log_message(LOG_LEVEL_TRACE, TRACE_MSG("%s: prefix = NULL!\n"), __func__);
		return -1;
	}

	if (prefix[0]) {
		if (!inet_aton(prefix, &addr)) {
			log_message(LOG_LEVEL_ERROR, ERROR_MSG("Invalid meshlink prefix: %s\n"),
				    prefix);
			return -1;
		}
		if (find_node_by_ip(c, prefix))
			return 0;
	} else {
		list_for_each_entry(n, &c->nodelist, list) {
			if (n->is_local)
				return 0;
		}
	}

	log_message(LOG_LEVEL_INFO, INFO_MSG("Alloc new node ### for prefix '%s'\n"), prefix);
	n = alloc_node_init(c, prefix);
	if (!n)
		return -1;

	if (prefix[0]) {
		// Without an ARP entry the MAC stays zero for the node's whole life.
		get_hwaddr_by_ip("br-lan", prefix, n);
		log_message(LOG_LEVEL_INFO,
			    INFO_MSG("%s: %02x:%02x:%02x:%02x:%02x:%02x \n"), __func__,
			    MAC2STR(n->macaddr));
	} else {
		log_message(LOG_LEVEL_INFO,
			    INFO_MSG("%s: (local) %02x:%02x:%02x:%02x:%02x:%02x \n"), __func__,
			    MAC2STR(n->macaddr));
	}

	list_add(&n->list, &c->nodelist);
	c->num_nodes++;
	// Found after the start-up survey: it is sent the exclusion list and
	// surveyed, from the loop (this may run inside a bus lookup); a box
	// whose MAC is known changes the list, which then goes to every node.
	if (c->surveyed) {
		n->unsurveyed = 1;
		n->exclude_due = 1;
		if (!hwaddr_is_zero(n->macaddr))
			c->exclude_pending = 1;
		uloop_timeout_set(&c->resync_timer, 0);
	}
	cntlr_history_add(c, {.why = WHY_NODE_ADDED, .extra = n->macaddr,
			      .num = {(int32_t)n->ipaddr.s_addr}});
	return 0;
}

int cntlr_prefix_from_path(const char *path, char *prefix)
{
	const char *p;
	size_t n;

	memset(prefix, 0, PREFIX_MAX);
	if (!path)
		return -1;
	p = strstr(path, "wifi.agent");
	if (!p)
		return -1;

	// The character before "wifi.agent" is the separator and is dropped.
	n = (size_t)(p - path);
	if (n > PREFIX_MAX) {
		log_message(LOG_LEVEL_ERROR,
			    ERROR_MSG("Object path '%s' too long: its prefix exceeds %d characters\n"),
			    path, PREFIX_MAX - 1);
		return -1;
	}
	if (n > 0)
		memcpy(prefix, path, n - 1);
	return 0;
}

void agent_lookup_cb(struct ubus_context *, struct ubus_object_data *obj, void *priv)
{
	struct cntlr *c = static_cast<struct cntlr *>(priv);
	char prefix[PREFIX_MAX];

	if (cntlr_prefix_from_path(obj->path, prefix) == 0)
		topology_add_node(c, prefix);
	// A box whose agent restarted (or whose object came late) keeps its
	// node: only the ids tell.
	node_note_object(c, obj->path, obj->id);
}

static const char *tree_string(struct json_object *entry, const char *key)
{
	struct json_object *val;

	if (!json_object_object_get_ex(entry, key, &val))
		return nullptr;
	return json_object_get_string(val);
}

void build_topology_tree(struct ubus_request *req, int, struct blob_attr *msg)
{
	struct cntlr *c = static_cast<struct cntlr *>(req->priv);
	struct json_object *root, *nodes;
	char *str;
	size_t len;

	str = blobmsg_format_json_with_cb(msg, true, nullptr, nullptr, -1);
	if (!str)
		return;

	root = json_tokener_parse(str);
	if (!root) {
		MTRACE_FREE(str);
		return;
	}
	if (!json_object_is_type(root, json_type_object)) {
		json_object_put(root);
		MTRACE_FREE(str);
		return;
	}

	// A tree without a "nodes" array tells nothing: no node, and the
	// count stays as it was.
	if (!json_object_object_get_ex(root, "nodes", &nodes) ||
	    !json_object_is_type(nodes, json_type_array)) {
		json_object_put(root);
		MTRACE_FREE(str);
		return;
	}

	len = json_object_array_length(nodes);
	c->num_nodes = (int32_t)len;

	for (size_t i = 0; i < len; i++) {
		struct json_object *entry = json_object_array_get_idx(nodes, i);
		struct json_object *depth;
		const char *mac, *ip, *conn, *type;
		uint8_t macaddr[6];
		struct in_addr addr;
		struct node *n;

		if (!json_object_is_type(entry, json_type_object))
			continue;
		mac = tree_string(entry, "mac");
		ip = tree_string(entry, "ip");
		conn = tree_string(entry, "connection_type");
		type = tree_string(entry, "node_type");

		if (!type || (strcmp(type, "extender") && strcmp(type, "repeater")))
			continue;
		// An extender without its address or MAC cannot be driven or
		// told apart; it is left out rather than made a half node.
		if (!ip || !mac || !inet_aton(ip, &addr))
			continue;

		n = alloc_node_init(c, ip);
		if (!n) {
			log_message(LOG_LEVEL_ERROR, ERROR_MSG("Failed to add node in topology!"));
			continue;
		}

		n->depth = json_object_object_get_ex(entry, "depth", &depth)
				   ? json_object_get_int(depth)
				   : 0;
		if (hwaddr_aton(mac, macaddr))
			memcpy(n->macaddr, macaddr, sizeof(n->macaddr));
		if (conn) {
			if (!strncasecmp(conn, "ethernet", 9))
				n->connection_type = 1;
			else if (!strncasecmp(conn, "wireless", 9))
				n->connection_type = 2;
		}

		log_message(LOG_LEVEL_INFO,
			    INFO_MSG("%s: Network Node: %02x:%02x:%02x:%02x:%02x:%02x ip = %s\n"),
			    __func__, MAC2STR(n->macaddr), ip);
		list_add(&n->list, &c->nodelist);
	}

	json_object_put(root);
	MTRACE_FREE(str);
}

struct node *find_node_by_ip(struct cntlr *c, const char *text)
{
	struct in_addr addr;
	struct node *n;

	if (!text || !text[0])
		return nullptr;
	if (!inet_aton(text, &addr)) {
		log_message(LOG_LEVEL_ERROR, ERROR_MSG("Invalid ipaddr: %s\n"), text);
		return nullptr;
	}

	list_for_each_entry(n, &c->nodelist, list) {
		if (!memcmp(&n->ipaddr, &addr, sizeof(addr)))
			return n;
	}
	return nullptr;
}

int is_foreign_mac(struct cntlr *c, const uint8_t *mac)
{
	struct node *n;

	list_for_each_entry(n, &c->nodelist, list) {
		if (!memcmp(n->macaddr, mac, sizeof(n->macaddr)))
			return 0;
	}
	return 1;
}

int get_hwaddr_by_ip(const char *device, const char *ip, struct node *n)
{
	struct sockaddr_in *sin;
	struct arpreq areq;
	int fd;

	if (!device || !ip)
		return -1;

	memset(&areq, 0, sizeof(areq));
	sin = reinterpret_cast<struct sockaddr_in *>(&areq.arp_pa);
	sin->sin_family = AF_INET;
	if (!inet_aton(ip, &sin->sin_addr))
		return -1;
	strncpy(areq.arp_dev, device, sizeof(areq.arp_dev) - 1);

	fd = socket(AF_INET, SOCK_DGRAM, 0);
	if (fd < 0)
		return -1;
	if (ioctl(fd, SIOCGARP, &areq) < 0) {
		close(fd);
		return -1;
	}
	// The completeness flags are not looked at: an incomplete entry reads
	// as the zero address, which is what the node holds anyway.
	memcpy(n->macaddr, areq.arp_ha.sa_data, sizeof(n->macaddr));
	close(fd);
	return 0;
}

void node_event_handler(struct ubus_context *, struct ubus_event_handler *ev, const char *type,
			struct blob_attr *msg)
{
	struct node *n = container_of(ev, struct node, event_handler);
	char *str;

	str = blobmsg_format_json_with_cb(msg, true, nullptr, nullptr, -1);
	if (!str)
		return;

	log_message(LOG_LEVEL_TRACE, TRACE_MSG("[ &node = %p ] Received event = '%s': %s\n"),
		    (void *)n, type, str);
	// Only a remote box's station event carries the separator; the local
	// "wifi.sta" is left to the meshlink handler.
	if (strstr(type, "/wifi.sta"))
		cntlr_handle_sta_event(n, msg, 1);

	MTRACE_FREE(str);
}

void cntlr_topology_event_handler(struct cntlr *, struct blob_attr *)
{
	log_message(LOG_LEVEL_ERROR, ERROR_MSG("%s: TODO \n"), __func__);
}

void cntlr_event_handler_local(struct ubus_context *, struct ubus_event_handler *ev,
			       const char *type, struct blob_attr *msg)
{
	struct cntlr *c = container_of(ev, struct cntlr, topo_ev);
	char *str;

	str = blobmsg_format_json_with_cb(msg, true, nullptr, nullptr, -1);
	if (!str)
		return;

	log_message(LOG_LEVEL_INFO, INFO_MSG("[ &cntlr = %p ] Received event = '%s' [val = %s]\n"),
		    (void *)c, type, str);
	if (!strcmp(type, "topology"))
		cntlr_topology_event_handler(c, msg);

	MTRACE_FREE(str);
}
