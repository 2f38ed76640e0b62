#include "sim/agent.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bus/blobmsg.h"
#include "sim/agent_impl.h"
#include "sim/records.h"

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

static int agent_status_handler(struct ubus_context *, struct ubus_object *,
				struct ubus_request_data *, const char *, struct blob_attr *)
{
	return 0;
}

static const struct ubus_method router_methods[] = {
	UBUS_METHOD_NOARG("status", agent_status_handler),
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

std::vector<uint8_t> agent::reply_record(int cmd_id, const std::vector<uint8_t> &data) const
{
	std::vector<uint8_t> out;
	impl_->h->run([&] { out = impl_->reply_record(cmd_id, data); });
	return out;
}

} // namespace sim
