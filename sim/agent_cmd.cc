// What an agent does with the controller's calls: the records it answers
// commands with, what it keeps of them, the faults it is told to show, and
// disconnect_sta.
#include <algorithm>
#include <cstring>

#include "bus/blobmsg.h"
#include "sim/agent_impl.h"
#include "sim/records.h"
#include "src/cmd.h"

namespace sim {

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

const struct ubus_method agent_methods[] = {
	UBUS_METHOD("cmd", agent_cmd_handler, cmd_policy),
};
const struct ubus_method wifix_methods[] = {
	UBUS_METHOD("disconnect_sta", agent_disconnect_handler, disconnect_policy),
};

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

} // namespace sim
