#include "sim/agent.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bus/blobmsg.h"
#include "bus/blobmsg_json.h"
#include "bus/ubus.h"
#include "sim/host.h"
#include "sim/host_impl.h"
#include "sim/records.h"
#include "src/cmd.h"

namespace sim {

const std::array<uint8_t, 9> radar_element = {0xdd, 0x0b, 0x02, 0x9e, 0x7b,
					      0xdd, 0x06, 0xaa, 0x04};

std::string mac_text(const mac_addr &mac)
{
	char buf[18];
	snprintf(buf, sizeof(buf), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
		 mac[3], mac[4], mac[5]);
	return buf;
}

bool parse_mac(const std::string &text, mac_addr *out)
{
	if (text.size() != 17)
		return false;
	mac_addr m{};
	for (int i = 0; i < 6; i++) {
		int v = hex_byte(text.c_str() + 3 * i);
		if (v < 0 || (i < 5 && text[3 * i + 2] != ':'))
			return false;
		m[i] = static_cast<uint8_t>(v);
	}
	*out = m;
	return true;
}

// One bus object of the box.
struct bus_obj {
	std::string path;
	struct ubus_object_type type {};
	struct ubus_object obj {};
};

enum {
	CMD_ATTR_ID,
	CMD_ATTR_DATA,
	__CMD_ATTR_MAX,
};

static const struct blobmsg_policy cmd_policy[__CMD_ATTR_MAX] = {
	{"id", BLOBMSG_TYPE_INT32},
	{"data", BLOBMSG_TYPE_STRING},
};

enum {
	DISC_ATTR_IFNAME,
	DISC_ATTR_STA,
	__DISC_ATTR_MAX,
};

static const struct blobmsg_policy disconnect_policy[__DISC_ATTR_MAX] = {
	{"ifname", BLOBMSG_TYPE_STRING},
	{"sta", BLOBMSG_TYPE_STRING},
};

static int agent_cmd_handler(struct ubus_context *ctx, struct ubus_object *obj,
			     struct ubus_request_data *req, const char *method,
			     struct blob_attr *msg);
static int agent_disconnect_handler(struct ubus_context *ctx, struct ubus_object *obj,
				    struct ubus_request_data *req, const char *method,
				    struct blob_attr *msg);
static int agent_status_handler(struct ubus_context *, struct ubus_object *,
				struct ubus_request_data *, const char *, struct blob_attr *)
{
	return 0;
}

static const struct ubus_method agent_methods[] = {
	UBUS_METHOD("cmd", agent_cmd_handler, cmd_policy),
};
static const struct ubus_method wifix_methods[] = {
	UBUS_METHOD("disconnect_sta", agent_disconnect_handler, disconnect_policy),
};
static const struct ubus_method router_methods[] = {
	UBUS_METHOD_NOARG("status", agent_status_handler),
};

struct agent_impl {
	agent *self;
	host *h;
	agent_config cfg;
	std::string name;
	bool present = false;

	// Router objects first and wifi.agent last: the controller looks the
	// companions up as soon as it hears of the agent.
	std::vector<std::unique_ptr<bus_obj>> objs;

	std::vector<std::vector<mac_addr>> stations; // per BSS, by index in cfg.bsses
	std::map<mac_addr, monitor_reading> readings;
	std::vector<mac_addr> monitored;
	std::map<mac_addr, scan_result> scans;
	std::map<mac_addr, neighbor_entry> neighbors;
	std::vector<std::string> exclude;
	int param_channel = -1;
	std::map<int, fault> faults;
	// Calls kept by no_reply, with the command each one carried.
	struct held_call {
		struct ubus_request_data req;
		int id;
		std::vector<uint8_t> payload;
	};
	std::vector<held_call> deferred;

	host::impl *hi() { return h->impl_; }
	int bss_index(const std::string &ifname) const
	{
		for (size_t i = 0; i < cfg.bsses.size(); i++)
			if (cfg.bsses[i].ifname == ifname)
				return static_cast<int>(i);
		return -1;
	}
	int current_channel() const
	{
		if (param_channel > 0)
			return param_channel;
		if (cfg.channel)
			return cfg.channel;
		return cfg.bsses.empty() ? 0 : cfg.bsses[0].channel;
	}
	std::string event_name(const std::string &n) const
	{
		return cfg.prefix.empty() ? n : cfg.prefix + "/" + n;
	}
	const fault *fault_for(int id) const
	{
		auto it = faults.find(id);
		if (it != faults.end())
			return &it->second;
		it = faults.find(0);
		if (it != faults.end())
			return &it->second;
		return nullptr;
	}

	void add_object(const std::string &name, const struct ubus_method *methods, int n);
	void publish();
	void withdraw();
	void publish_one(const std::string &obj);
	void rejoin();
	void restart(const std::vector<std::string> &order, int gap_ms);
	std::vector<uint8_t> reply_record(int id, const std::vector<uint8_t> &data) const;
	void apply(int id, const std::string &text, const std::vector<uint8_t> &data);
	void raise_sta(const mac_addr &sta, const std::string &action, const std::string &vif,
		       int lowrssi);
	bool drop_station(const mac_addr &sta, std::string *ifname);
	void join_station(int bss, const mac_addr &sta);
};

// ---- bus presence ----------------------------------------------------------

void agent_impl::add_object(const std::string &obj_name, const struct ubus_method *methods,
			    int n)
{
	auto o = std::make_unique<bus_obj>();
	o->path = event_name(obj_name);
	o->type.name = o->path.c_str();
	o->type.methods = methods;
	o->type.n_methods = n;
	o->obj.name = o->path.c_str();
	o->obj.path = o->path.c_str();
	o->obj.type = &o->type;
	o->obj.methods = methods;
	o->obj.n_methods = n;
	o->obj.priv = this;
	objs.push_back(std::move(o));
}

void agent_impl::publish()
{
	host::impl *H = hi();
	if (present || !H->ctx || H->shutting_down)
		return;
	for (auto &o : objs) {
		o->obj.id = 0;
		o->type.id = 0;
		ubus_add_object(H->ctx, &o->obj);
	}
	present = true;
}

void agent_impl::withdraw()
{
	host::impl *H = hi();
	if (!present)
		return;
	present = false;
	// Calls kept unanswered die with the objects, as on a box that left.
	deferred.clear();
	if (!H->ctx || H->shutting_down)
		return;
	for (auto it = objs.rbegin(); it != objs.rend(); ++it)
		if ((*it)->obj.id)
			ubus_remove_object(H->ctx, &(*it)->obj);
}

void agent_impl::publish_one(const std::string &obj_name)
{
	host::impl *H = hi();
	if (!H->ctx || H->shutting_down)
		return;
	for (auto &o : objs) {
		if (o->path != event_name(obj_name) || o->obj.id)
			continue;
		o->type.id = 0;
		ubus_add_object(H->ctx, &o->obj);
		present = true;
	}
}

void agent_impl::rejoin()
{
	host::impl *H = hi();
	// Kept calls died with the old connection.
	deferred.clear();
	for (auto &o : objs) {
		if (!o->obj.id)
			continue;
		o->obj.id = 0;
		o->type.id = 0;
		ubus_add_object(H->ctx, &o->obj);
	}
}

void agent_impl::restart(const std::vector<std::string> &order, int gap_ms)
{
	withdraw();
	neighbors.clear();
	exclude.clear();
	param_channel = -1;
	monitored.clear();
	for (auto &o : objs) {
		std::string p = o->path;
		std::string bare = cfg.prefix.empty() ? p : p.substr(cfg.prefix.size() + 1);
		if (std::find(order.begin(), order.end(), bare) == order.end())
			publish_one(bare);
	}
	for (size_t i = 0; i < order.size(); i++) {
		std::string name = order[i];
		h->post([this, name] { publish_one(name); }, static_cast<int>(i) * gap_ms);
	}
}

// ---- commands --------------------------------------------------------------

std::vector<uint8_t> agent_impl::reply_record(int id, const std::vector<uint8_t> &data) const
{
	switch (id) {
	case CMD_GET_BSS_INFO: {
		std::vector<bss_info_item> items;
		for (const auto &b : cfg.bsses)
			items.push_back({b.ifname, b.ssid, b.bssid, b.bssid_info, b.opclass,
					 b.phy_type});
		return encode_bss_info(current_channel(), items);
	}
	case CMD_GET_ASSOCLIST: {
		std::string ifname = data.size() >= 1 ? fixed_text(data.data(),
			std::min<size_t>(16, data.size())) : std::string();
		int i = bss_index(ifname);
		std::vector<mac_addr> none;
		return encode_assoclist(ifname, i < 0 ? none : stations[i]);
	}
	case CMD_GET_MONITOR_STA: {
		mac_addr sta{};
		for (size_t i = 0; i < 6 && i < data.size(); i++)
			sta[i] = data[i];
		monitor_reading r;
		auto it = readings.find(sta);
		if (it != readings.end()) {
			r = it->second;
			if (r.bssid == mac_addr{} && !cfg.bsses.empty())
				r.bssid = cfg.bsses[0].bssid;
		}
		return encode_monitor_sta(sta, r);
	}
	case CMD_GET_SCANRES: {
		mac_addr bssid{};
		for (size_t i = 0; i < 6 && i < data.size(); i++)
			bssid[i] = data[i];
		auto it = scans.find(bssid);
		return encode_scanres(bssid, it == scans.end() ? scan_result{} : it->second);
	}
	case CMD_GET_MOBID:
		return {cfg.mobility_domain[0], cfg.mobility_domain[1]};
	case CMD_GET_OUI:
		return encode_oui(cfg.oui0, cfg.byte_order);
	default:
		return {};
	}
}

void agent_impl::apply(int id, const std::string &text, const std::vector<uint8_t> &data)
{
	switch (id) {
	case CMD_MONITOR_STA:
		if (mac_addr sta; decode_lead_mac(data, &sta)) {
			bool known = false;
			for (const auto &m : monitored)
				known |= m == sta;
			if (!known)
				monitored.push_back(sta);
		}
		break;
	case CMD_STEER_EXCLUDE:
		exclude.clear();
		for (size_t i = 0; i + 17 <= text.size(); i += 17)
			exclude.push_back(text.substr(i, 17));
		break;
	case CMD_ADD_NEIGHBOR: {
		neighbor_entry e;
		if (decode_neighbor(data, &e))
			neighbors[e.bssid] = e;
		break;
	}
	case CMD_DEL_NEIGHBOR:
		if (mac_addr b; decode_lead_mac(data, &b))
			neighbors.erase(b);
		break;
	case CMD_SET_PARAM: {
		int ch;
		if (decode_set_param_channel(data, &ch))
			param_channel = ch;
		break;
	}
	case CMD_STEER: {
		steer_request s;
		if (!decode_steer(data, &s) || !hi()->mobile)
			break;
		host::impl *H = hi();
		int from = -1;
		for (size_t i = 0; i < stations.size() && from < 0; i++)
			for (const auto &m : stations[i])
				if (m == s.sta)
					from = static_cast<int>(i);
		if (from < 0)
			break;
		for (auto &a : H->agents) {
			agent_impl *to = a->impl_;
			for (size_t j = 0; j < to->cfg.bsses.size(); j++) {
				if (to->cfg.bsses[j].bssid != s.target)
					continue;
				if (to == this && static_cast<int>(j) == from)
					return;
				std::string from_if = cfg.bsses[from].ifname;
				std::string to_if = to->cfg.bsses[j].ifname;
				drop_station(s.sta, nullptr);
				if (H->station_hook)
					H->station_hook(*self, s.sta, from_if, false);
				to->drop_station(s.sta, nullptr);
				to->join_station(static_cast<int>(j), s.sta);
				if (H->station_hook)
					H->station_hook(*to->self, s.sta, to_if, true);
				mac_addr sta = s.sta;
				agent_impl *src = this;
				// A steered station reassociates on the target
				// first; its old BSS notices the departure after.
				h->post(
					[to, src, sta, to_if, from_if] {
						to->raise_sta(sta, "associated", to_if, 0);
						src->raise_sta(sta, "disassociated", from_if, 0);
					},
					H->move_delay_ms);
				return;
			}
		}
		break;
	}
	default:
		break;
	}
}

static void send_cmd_reply(struct ubus_context *ctx, struct ubus_request_data *req, bool with_id,
			   int id, bool with_resp, const std::string &resp)
{
	struct blob_buf b;
	memset(&b, 0, sizeof(b));
	blob_buf_init(&b, 0);
	if (with_id)
		blobmsg_add_u32(&b, "id", static_cast<uint32_t>(id));
	if (with_resp)
		blobmsg_add_string(&b, "cmd_resp", resp.c_str());
	ubus_send_reply(ctx, req, b.head);
	blob_buf_free(&b);
}

static int agent_cmd_handler(struct ubus_context *ctx, struct ubus_object *obj,
			     struct ubus_request_data *req, const char *, struct blob_attr *msg)
{
	auto *a = static_cast<agent_impl *>(obj->priv);
	struct blob_attr *tb[__CMD_ATTR_MAX] = {};
	blobmsg_parse(cmd_policy, __CMD_ATTR_MAX, tb, blob_data(msg),
		      static_cast<unsigned int>(blob_len(msg)));

	cmd_record r;
	r.agent = a->name;
	r.prefix = a->cfg.prefix;
	r.id = tb[CMD_ATTR_ID] ? static_cast<int32_t>(blobmsg_get_u32(tb[CMD_ATTR_ID])) : 0;
	r.has_data = tb[CMD_ATTR_DATA] != nullptr;
	if (r.has_data)
		r.data = blobmsg_get_string(tb[CMD_ATTR_DATA]);
	r.payload = decode_hex(r.data);
	r.t = a->h->now();
	host::impl *H = a->hi();
	H->jr.add(r);
	if (!tb[CMD_ATTR_ID]) {
		if (H->cmd_hook)
			H->cmd_hook(*a->self, r);
		return UBUS_STATUS_INVALID_ARGUMENT;
	}

	const fault *f = a->fault_for(r.id);
	fault_kind kind = f ? f->kind : fault_kind::none;
	int status = 0;
	if (kind == fault_kind::no_reply) {
		struct ubus_request_data kept {};
		ubus_defer_request(ctx, req, &kept);
		a->deferred.push_back({kept, r.id, r.payload});
	} else if (kind == fault_kind::error_status) {
		status = f->value < 0 ? UBUS_STATUS_UNKNOWN_ERROR : f->value;
	} else {
		a->apply(r.id, r.data, r.payload);
		std::vector<uint8_t> rec = a->reply_record(r.id, r.payload);
		bool with_resp = !rec.empty();
		std::string resp = encode_hex(rec);
		bool with_id = true;
		int id = r.id;
		int copies = 1;
		switch (kind) {
		case fault_kind::wrong_id:
			id = f->value < 0 ? r.id + 1 : f->value;
			break;
		case fault_kind::no_id:
			with_id = false;
			break;
		case fault_kind::no_cmd_resp:
			with_resp = false;
			break;
		case fault_kind::oversized_resp: {
			size_t n = f->value < 0 ? 4000 : static_cast<size_t>(f->value);
			while (resp.size() < n)
				resp += '0';
			with_resp = true;
			break;
		}
		case fault_kind::malformed_resp: {
			size_t at = f->value < 0 ? 0 : static_cast<size_t>(f->value);
			if (resp.size() < at + 2)
				resp.resize(at + 2, '0');
			resp[at] = 'z';
			resp[at + 1] = 'z';
			with_resp = true;
			break;
		}
		case fault_kind::multiple_data:
			copies = f->value < 0 ? 2 : f->value;
			break;
		case fault_kind::raw_resp:
			resp = f->raw;
			with_resp = true;
			break;
		default:
			break;
		}
		for (int i = 0; i < copies; i++)
			send_cmd_reply(ctx, req, with_id, id, with_resp, resp);
	}
	if (H->cmd_hook)
		H->cmd_hook(*a->self, r);
	return status;
}

static int agent_disconnect_handler(struct ubus_context *, struct ubus_object *obj,
				    struct ubus_request_data *, const char *,
				    struct blob_attr *msg)
{
	auto *a = static_cast<agent_impl *>(obj->priv);
	struct blob_attr *tb[__DISC_ATTR_MAX] = {};
	blobmsg_parse(disconnect_policy, __DISC_ATTR_MAX, tb, blob_data(msg),
		      static_cast<unsigned int>(blob_len(msg)));
	disconnect_record r;
	r.agent = a->name;
	r.prefix = a->cfg.prefix;
	if (tb[DISC_ATTR_IFNAME])
		r.ifname = blobmsg_get_string(tb[DISC_ATTR_IFNAME]);
	if (tb[DISC_ATTR_STA])
		r.sta = blobmsg_get_string(tb[DISC_ATTR_STA]);
	r.t = a->h->now();
	host::impl *H = a->hi();
	H->jr.add(r);
	if (!tb[DISC_ATTR_IFNAME] || !tb[DISC_ATTR_STA]) {
		if (H->disconnect_hook)
			H->disconnect_hook(*a->self, r);
		return UBUS_STATUS_INVALID_ARGUMENT;
	}
	mac_addr sta;
	int bss = a->bss_index(r.ifname);
	if (H->mobile && bss >= 0 && parse_mac(r.sta, &sta)) {
		bool there = false;
		for (const auto &m : a->stations[bss])
			there |= m == sta;
		if (there) {
			a->drop_station(sta, nullptr);
			if (H->station_hook)
				H->station_hook(*a->self, sta, r.ifname, false);
			std::string ifname = r.ifname;
			a->h->post([a, sta, ifname] { a->raise_sta(sta, "disassociated", ifname, 0); },
				   H->move_delay_ms);
		}
	}
	if (H->disconnect_hook)
		H->disconnect_hook(*a->self, r);
	return 0;
}

// ---- stations and events ---------------------------------------------------

bool agent_impl::drop_station(const mac_addr &sta, std::string *ifname)
{
	for (size_t i = 0; i < stations.size(); i++)
		for (auto it = stations[i].begin(); it != stations[i].end(); ++it)
			if (*it == sta) {
				stations[i].erase(it);
				if (ifname)
					*ifname = cfg.bsses[i].ifname;
				return true;
			}
	return false;
}

void agent_impl::join_station(int bss, const mac_addr &sta)
{
	stations[bss].push_back(sta);
}

void agent_impl::raise_sta(const mac_addr &sta, const std::string &action, const std::string &vif,
			   int lowrssi)
{
	struct blob_buf b;
	memset(&b, 0, sizeof(b));
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "macaddr", mac_text(sta).c_str());
	blobmsg_add_string(&b, "action", action.c_str());
	blobmsg_add_string(&b, "vif", vif.c_str());
	if (lowrssi)
		blobmsg_add_u32(&b, "lowrssi", static_cast<uint32_t>(lowrssi));
	hi()->send_event(event_name("wifi.sta"), &b);
	blob_buf_free(&b);
}

// ---- the public face -------------------------------------------------------

agent::agent(class host &h, const agent_config &cfg) : impl_(new agent_impl)
{
	impl_->self = this;
	impl_->h = &h;
	impl_->cfg = cfg;
	if (impl_->cfg.bsses.size() > 4)
		impl_->cfg.bsses.resize(4);
	if (impl_->cfg.oui0.size() > 32)
		impl_->cfg.oui0.resize(32);
	if (impl_->cfg.node_type.empty())
		impl_->cfg.node_type = cfg.prefix.empty() ? "router" : "extender";
	impl_->name = !cfg.name.empty() ? cfg.name : cfg.prefix.empty() ? "local" : cfg.prefix;
	impl_->cfg.name = impl_->name;
	impl_->stations.resize(impl_->cfg.bsses.size());
	if (cfg.router_objects) {
		impl_->add_object("router.system", router_methods, 1);
		impl_->add_object("router.graph", router_methods, 1);
		impl_->add_object("router.network", router_methods, 1);
	}
	if (cfg.wifix)
		impl_->add_object("wifix", wifix_methods, 1);
	impl_->add_object("wifi.agent", agent_methods, 1);
}

agent::~agent()
{
	impl_->withdraw();
	delete impl_;
}

const std::string &agent::prefix() const
{
	return impl_->cfg.prefix;
}

const std::string &agent::name() const
{
	return impl_->name;
}

std::string agent::path(const std::string &obj) const
{
	return impl_->event_name(obj);
}

agent_config agent::config() const
{
	agent_config c;
	impl_->h->run([&] { c = impl_->cfg; });
	return c;
}

class host &agent::owner() const
{
	return *impl_->h;
}

void agent::vanish()
{
	impl_->h->run([&] { impl_->withdraw(); });
}

void agent::reappear()
{
	impl_->h->run([&] { impl_->publish(); });
}

void agent::restart(const std::vector<std::string> &order, int gap_ms)
{
	impl_->h->run([&] { impl_->restart(order, gap_ms); });
}

bool agent::present() const
{
	bool p = false;
	impl_->h->run([&] { p = impl_->present; });
	return p;
}

uint32_t agent::agent_id() const
{
	uint32_t id = 0;
	impl_->h->run([&] {
		if (impl_->present)
			id = impl_->objs.back()->obj.id;
	});
	return id;
}

void agent::add_station(const std::string &ifname, const mac_addr &sta)
{
	impl_->h->run([&] {
		int i = impl_->bss_index(ifname);
		if (i < 0)
			return;
		impl_->drop_station(sta, nullptr);
		impl_->join_station(i, sta);
	});
}

void agent::remove_station(const mac_addr &sta)
{
	impl_->h->run([&] { impl_->drop_station(sta, nullptr); });
}

std::vector<mac_addr> agent::stations(const std::string &ifname) const
{
	std::vector<mac_addr> out;
	impl_->h->run([&] {
		int i = impl_->bss_index(ifname);
		if (i >= 0)
			out = impl_->stations[i];
	});
	return out;
}

std::string agent::station_bss(const mac_addr &sta) const
{
	std::string out;
	impl_->h->run([&] {
		for (size_t i = 0; i < impl_->stations.size(); i++)
			for (const auto &m : impl_->stations[i])
				if (m == sta)
					out = impl_->cfg.bsses[i].ifname;
	});
	return out;
}

void agent::raise_sta(const mac_addr &sta, const std::string &action, const std::string &vif,
		      int lowrssi)
{
	impl_->h->run([&] { impl_->raise_sta(sta, action, vif, lowrssi); });
}

void agent::raise_event(const std::string &name, const std::string &json)
{
	impl_->h->send_event(impl_->event_name(name), json);
}

void agent::associate(const std::string &ifname, const mac_addr &sta)
{
	impl_->h->run([&] {
		int i = impl_->bss_index(ifname);
		if (i < 0)
			return;
		impl_->drop_station(sta, nullptr);
		impl_->join_station(i, sta);
		host::impl *H = impl_->hi();
		if (H->station_hook)
			H->station_hook(*this, sta, ifname, true);
		impl_->raise_sta(sta, "associated", ifname, 0);
	});
}

void agent::disassociate(const mac_addr &sta)
{
	impl_->h->run([&] {
		std::string ifname;
		if (!impl_->drop_station(sta, &ifname))
			return;
		host::impl *H = impl_->hi();
		if (H->station_hook)
			H->station_hook(*this, sta, ifname, false);
		impl_->raise_sta(sta, "disassociated", ifname, 0);
	});
}

void agent::set_monitor(const mac_addr &sta, const monitor_reading &r)
{
	impl_->h->run([&] { impl_->readings[sta] = r; });
}

void agent::clear_monitor(const mac_addr &sta)
{
	impl_->h->run([&] { impl_->readings.erase(sta); });
}

std::vector<mac_addr> agent::monitored() const
{
	std::vector<mac_addr> out;
	impl_->h->run([&] { out = impl_->monitored; });
	return out;
}

void agent::set_scan_result(const mac_addr &bssid, const scan_result &r)
{
	impl_->h->run([&] { impl_->scans[bssid] = r; });
}

void agent::clear_scan_results()
{
	impl_->h->run([&] { impl_->scans.clear(); });
}

std::map<mac_addr, neighbor_entry> agent::neighbors() const
{
	std::map<mac_addr, neighbor_entry> out;
	impl_->h->run([&] { out = impl_->neighbors; });
	return out;
}

std::vector<std::string> agent::exclude_list() const
{
	std::vector<std::string> out;
	impl_->h->run([&] { out = impl_->exclude; });
	return out;
}

int agent::param_channel() const
{
	int c = -1;
	impl_->h->run([&] { c = impl_->param_channel; });
	return c;
}

int agent::current_channel() const
{
	int c = 0;
	impl_->h->run([&] { c = impl_->current_channel(); });
	return c;
}

void agent::set_fault(const fault &f, int cmd_id)
{
	impl_->h->run([&] { impl_->faults[cmd_id] = f; });
}

void agent::clear_faults()
{
	impl_->h->run([&] { impl_->faults.clear(); });
}

void agent::rejoin()
{
	impl_->rejoin();
}

int agent::release_deferred(bool answer)
{
	int n = 0;
	impl_->h->run([&] {
		host::impl *H = impl_->hi();
		for (auto &call : impl_->deferred) {
			if (H->ctx && !H->shutting_down) {
				std::vector<uint8_t> rec = impl_->reply_record(call.id, call.payload);
				if (answer)
					send_cmd_reply(H->ctx, &call.req, true, call.id, !rec.empty(),
						       encode_hex(rec));
				ubus_complete_deferred_request(H->ctx, &call.req, 0);
			}
			n++;
		}
		impl_->deferred.clear();
	});
	return n;
}

std::vector<uint8_t> agent::reply_record(int cmd_id, const std::vector<uint8_t> &data) const
{
	std::vector<uint8_t> out;
	impl_->h->run([&] { out = impl_->reply_record(cmd_id, data); });
	return out;
}

} // namespace sim
