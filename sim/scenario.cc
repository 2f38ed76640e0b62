#include "sim/scenario.h"

#include <arpa/inet.h>
#include <json-c/json.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "sim/records.h"
#include "sim/scenario_reader.h"

namespace sim {

static const char *const cmd_names[] = {
	"UNDEFINED",   "SCAN",         "STEER_POLICY",    "STEER_EXCLUDE",  "STEER_EXCLUDE_DEL",
	"STEER",       "ACCESS_CONTROL", "GET_RADIO_INFO", "GET_BSS_INFO",  "GET_ASSOCLIST",
	"MONITOR_STA", "GET_MONITOR_STA", "ADD_NEIGHBOR",  "DEL_NEIGHBOR",  "CHANNEL_PLAN",
	"GET_SCANRES", "SET_PARAM",    "GET_MOBID",       "GET_OUI",
};

int cmd_by_name(const std::string &name)
{
	for (int i = 1; i <= 18; i++)
		if (name == cmd_names[i])
			return i;
	return 0;
}

std::string cmd_text(int id)
{
	return id >= 1 && id <= 18 ? cmd_names[id] : "Undefined";
}

const scenario_box *scenario::box(const std::string &n) const
{
	for (const auto &b : boxes)
		if (b.name == n)
			return &b;
	return nullptr;
}

const scenario_station *scenario::station(const std::string &n) const
{
	for (const auto &s : stations)
		if (s.name == n)
			return &s;
	return nullptr;
}

namespace {

const std::string history_kinds[] = {"steer", "no_steer", "disconnect", "duplicate",
				     "radar", "channel_restore", "node_added", "node_removed"};


fault_kind fault_by_name(const std::string &path, const std::string &n)
{
	static const std::pair<const char *, fault_kind> kinds[] = {
		{"no_reply", fault_kind::no_reply},
		{"wrong_id", fault_kind::wrong_id},
		{"error_status", fault_kind::error_status},
		{"no_id", fault_kind::no_id},
		{"no_cmd_resp", fault_kind::no_cmd_resp},
		{"oversized_resp", fault_kind::oversized_resp},
		{"malformed_resp", fault_kind::malformed_resp},
		{"multiple_data", fault_kind::multiple_data},
		{"raw_resp", fault_kind::raw_resp},
		{"none", fault_kind::none},
	};
	for (const auto &k : kinds)
		if (n == k.first)
			return k.second;
	fail(path, "unknown fault \"" + n + "\"");
}

int cmd_field(obj_reader &r, const std::string &key, bool required)
{
	std::string n = r.str(key, required);
	if (n.empty())
		return 0;
	int id = cmd_by_name(n);
	if (!id)
		fail(r.at(key), "unknown command \"" + n + "\"");
	return id;
}

scenario_fault parse_fault(obj_reader &r)
{
	scenario_fault f;
	f.cmd = cmd_field(r, "cmd", false);
	f.f.kind = fault_by_name(r.at("kind"), r.str("kind", true));
	f.f.value = static_cast<int>(r.integer("value", false, -1, -1, 1 << 20));
	f.f.raw = r.str("raw", false);
	return f;
}

class parser {
public:
	scenario s;

	void parse(json_object *root)
	{
		obj_reader r(root, "");
		r.known({"name", "description", "topology", "mobility_domain", "oui",
			 "lowrssi_threshold", "duration", "config", "quiet", "mtrace", "rss_flat_kb",
			 "boxes", "stations", "timeline", "expect"});
		s.name = r.str("name", false);
		s.description = r.str("description", false);
		s.topology = r.boolean("topology", false);
		std::string md = r.str("mobility_domain", false);
		if (!md.empty()) {
			std::vector<uint8_t> b = decode_hex(md);
			if (md.size() != 4 || b.size() != 2)
				fail(r.at("mobility_domain"), "not four hex digits (\"" + md + "\")");
			s.mobility_domain = {b[0], b[1]};
		}
		if (json_object *oui = r.array("oui", false)) {
			size_t n = json_object_array_length(oui);
			if (n > 32)
				fail(r.at("oui"), "more than 32 entries");
			for (size_t i = 0; i < n; i++) {
				json_object *e = json_object_array_get_idx(oui, i);
				std::string p = idx(r.at("oui"), i);
				std::vector<uint8_t> b;
				if (json_object_is_type(e, json_type_string))
					b = decode_hex(json_object_get_string(e));
				if (b.size() != 1 || strlen(json_object_get_string(e)) != 2)
					fail(p, "not a byte as two hex digits (" + quoted(e) + ")");
				s.oui.push_back(b[0]);
			}
		}
		s.lowrssi_threshold =
			static_cast<int>(r.integer("lowrssi_threshold", false, -70, -127, 0));
		s.duration = r.number("duration", false, 30, 1, 600);
		// The controller checks the settings itself; only their form is ours.
		if (json_object *cfg = r.get("config")) {
			if (!json_object_is_type(cfg, json_type_object))
				fail(r.at("config"), "not an object (" + quoted(cfg) + ")");
			s.config = json_object_to_json_string_ext(cfg, JSON_C_TO_STRING_PLAIN);
		}
		s.quiet = r.boolean("quiet", false);
		s.mtrace = r.boolean("mtrace", false);
		s.rss_flat_kb = static_cast<int>(r.integer("rss_flat_kb", false, 0, 0, 1 << 20));

		json_object *boxes = r.array("boxes", true);
		size_t nb = json_object_array_length(boxes);
		if (nb == 0)
			fail(r.at("boxes"), "empty");
		for (size_t i = 0; i < nb; i++)
			parse_box(json_object_array_get_idx(boxes, i), idx(r.at("boxes"), i));

		if (json_object *st = r.array("stations", false))
			for (size_t i = 0; i < json_object_array_length(st); i++)
				parse_station(json_object_array_get_idx(st, i), idx(r.at("stations"), i));
		if (json_object *tl = r.array("timeline", false))
			for (size_t i = 0; i < json_object_array_length(tl); i++)
				parse_step(json_object_array_get_idx(tl, i), idx(r.at("timeline"), i));
		std::stable_sort(s.timeline.begin(), s.timeline.end(),
				 [](const timeline_step &a, const timeline_step &b) { return a.at < b.at; });
		if (json_object *ex = r.array("expect", false))
			for (size_t i = 0; i < json_object_array_length(ex); i++)
				parse_expect(json_object_array_get_idx(ex, i), idx(r.at("expect"), i));
		r.no_unknown_keys();
	}

private:
	void check_box(const std::string &path, const std::string &name)
	{
		if (!s.box(name))
			fail(path, "no box named \"" + name + "\"");
	}
	void check_sta(const std::string &path, const std::string &name)
	{
		if (!s.station(name))
			fail(path, "no station named \"" + name + "\"");
	}
	// "box/ifname" naming a BSS of the mesh.
	void check_bss(const std::string &path, const std::string &name)
	{
		size_t slash = name.find('/');
		if (slash == std::string::npos)
			fail(path, "not a BSS as box/ifname (\"" + name + "\")");
		const scenario_box *b = s.box(name.substr(0, slash));
		if (!b)
			fail(path, "no box named \"" + name.substr(0, slash) + "\" (\"" + name + "\")");
		for (const auto &x : b->bss)
			if (x.ifname == name.substr(slash + 1))
				return;
		fail(path, "box \"" + b->name + "\" has no BSS \"" + name.substr(slash + 1) + "\"");
	}
	// A map of "box/ifname" to dBm; `skip` names a member that is not one.
	std::map<std::string, int> signal_map(json_object *o, const std::string &path,
					      const char *skip)
	{
		if (!json_object_is_type(o, json_type_object))
			fail(path, "not an object (" + quoted(o) + ")");
		std::map<std::string, int> m;
		json_object_object_foreach(o, key, val)
		{
			if (skip && !strcmp(key, skip))
				continue;
			std::string p = path + "." + key;
			check_bss(p, key);
			if (!json_object_is_type(val, json_type_int))
				fail(p, "not a signal in dBm (" + quoted(val) + ")");
			int64_t x = json_object_get_int64(val);
			if (x < -127 || x > 0)
				fail(p, "out of range -127..0 (" + std::to_string(x) + ")");
			m[key] = static_cast<int>(x);
		}
		return m;
	}

	void parse_box(json_object *o, const std::string &path)
	{
		obj_reader r(o, path);
		r.known({"name", "prefix", "type", "connection", "depth", "mac", "translate",
			 "present", "arp", "bss", "faults"});
		scenario_box b;
		b.name = r.str("name", true);
		if (b.name.empty() || b.name.find('/') != std::string::npos)
			fail(r.at("name"), "empty or holds '/' (\"" + b.name + "\")");
		if (s.box(b.name))
			fail(r.at("name"), "a second box named \"" + b.name + "\"");
		b.prefix = r.str("prefix", false);
		if (!b.prefix.empty()) {
			struct in_addr a;
			if (!inet_aton(b.prefix.c_str(), &a))
				fail(r.at("prefix"), "not an IPv4 address (\"" + b.prefix + "\")");
		}
		for (const auto &other : s.boxes)
			if (other.prefix == b.prefix)
				fail(r.at("prefix"), "box \"" + other.name + "\" has this prefix too");
		b.type = r.str("type", false, b.prefix.empty() ? "router" : "extender");
		if (b.type != "router" && b.type != "extender" && b.type != "repeater")
			fail(r.at("type"), "not router, extender or repeater (\"" + b.type + "\")");
		b.connection = r.str("connection", false, b.prefix.empty() ? "ethernet" : "wireless");
		b.depth = static_cast<int>(r.integer("depth", false, b.prefix.empty() ? 0 : 1, 0, 16));
		b.mac = r.mac("mac", true);
		b.translate = r.boolean("translate", false);
		if (b.translate && s.oui.empty())
			fail(r.at("translate"), "needs the scenario's \"oui\" list");
		b.present = r.boolean("present", true);
		b.arp = r.boolean("arp", true);
		json_object *bss = r.array("bss", true);
		size_t n = json_object_array_length(bss);
		if (n < 1 || n > 4)
			fail(r.at("bss"), "needs 1 to 4 BSSes (" + std::to_string(n) + ")");
		for (size_t i = 0; i < n; i++) {
			obj_reader e(json_object_array_get_idx(bss, i), idx(r.at("bss"), i));
			bss_config c;
			c.ifname = e.str("ifname", true);
			if (c.ifname.empty() || c.ifname.size() > 15)
				fail(e.at("ifname"), "needs 1 to 15 characters (\"" + c.ifname + "\")");
			for (const auto &x : b.bss)
				if (x.ifname == c.ifname)
					fail(e.at("ifname"), "a second BSS \"" + c.ifname + "\"");
			c.ssid = e.str("ssid", true);
			if (c.ssid.size() > 32)
				fail(e.at("ssid"), "longer than 32 characters");
			c.bssid = e.mac("bssid", true);
			if (hwaddr_zero(c.bssid))
				fail(e.at("bssid"), "all zero");
			for (const auto &ob : s.boxes)
				for (const auto &x : ob.bss)
					if (x.bssid == c.bssid)
						fail(e.at("bssid"), "also a BSSID of box \"" + ob.name + "\"");
			c.channel = static_cast<int>(e.integer("channel", true, 0, 1, 196));
			c.opclass = static_cast<uint8_t>(e.integer("opclass", false, 0, 0, 255));
			c.phy_type = static_cast<uint8_t>(e.integer("phy_type", false, 0, 0, 255));
			c.bssid_info = static_cast<uint32_t>(
				e.integer("bssid_info", false, 0, 0, 0xffffffffLL));
			e.no_unknown_keys();
			b.bss.push_back(c);
		}
		if (json_object *f = r.array("faults", false))
			for (size_t i = 0; i < json_object_array_length(f); i++) {
				obj_reader e(json_object_array_get_idx(f, i), idx(r.at("faults"), i));
				b.faults.push_back(parse_fault(e));
				e.no_unknown_keys();
			}
		r.no_unknown_keys();
		s.boxes.push_back(b);
	}

	static bool hwaddr_zero(const mac_addr &m)
	{
		return m == mac_addr{};
	}

	void parse_station(json_object *o, const std::string &path)
	{
		obj_reader r(o, path);
		r.known({"name", "mac", "at", "signal"});
		scenario_station st;
		st.name = r.str("name", true);
		if (st.name.empty())
			fail(r.at("name"), "empty");
		if (s.station(st.name))
			fail(r.at("name"), "a second station named \"" + st.name + "\"");
		st.mac = r.mac("mac", true);
		st.at = r.str("at", false);
		if (!st.at.empty())
			check_bss(r.at("at"), st.at);
		if (json_object *sig = r.get("signal"))
			st.signal = signal_map(sig, r.at("signal"), nullptr);
		r.no_unknown_keys();
		s.stations.push_back(st);
	}

	// The value of a step action given either as a bare string or as an
	// object with `key`.
	std::string name_or_field(obj_reader &r, const std::string &action, const std::string &key,
				  obj_reader **sub, std::unique_ptr<obj_reader> &hold)
	{
		json_object *v = r.get(action);
		if (json_object_is_type(v, json_type_string))
			return json_object_get_string(v);
		hold = std::make_unique<obj_reader>(v, r.at(action));
		*sub = hold.get();
		return hold->str(key, true);
	}

	void parse_step(json_object *o, const std::string &path)
	{
		obj_reader r(o, path);
		timeline_step st;
		st.at = r.number("at", true, 0, 0, 600);
		static const char *const actions[] = {"signal", "join",  "roam",  "leave",
						      "vanish", "appear", "radar", "fault",
						      "event",  "note",   "restart", "churn", "arp",
						      "broker_restart", "stop"};
		std::string action;
		for (const char *a : actions)
			if (r.has(a)) {
				if (!action.empty())
					fail(path, "holds both \"" + action + "\" and \"" + a + "\"");
				action = a;
			}
		if (action.empty())
			fail(path, "no action (signal, join, roam, leave, vanish, appear, radar, "
				   "fault, event, note, restart, churn, arp, broker_restart or stop)");
		r.known({"at", action.c_str()});
		std::unique_ptr<obj_reader> hold;
		obj_reader *sub = nullptr;
		if (action == "signal") {
			st.kind = step_kind::signal;
			obj_reader a(r.get("signal"), r.at("signal"));
			st.sta = a.str("sta", true);
			check_sta(a.at("sta"), st.sta);
			st.signal = signal_map(r.get("signal"), r.at("signal"), "sta");
		} else if (action == "join" || action == "roam") {
			st.kind = action == "join" ? step_kind::join : step_kind::roam;
			obj_reader a(r.get(action), r.at(action));
			st.sta = a.str("sta", true);
			check_sta(a.at("sta"), st.sta);
			const char *key = action == "join" ? "bss" : "to";
			st.bss = a.str(key, true);
			check_bss(a.at(key), st.bss);
			if (action == "roam")
				st.leave = a.boolean("leave", false);
			a.no_unknown_keys();
		} else if (action == "leave") {
			st.kind = step_kind::leave;
			st.sta = name_or_field(r, action, "sta", &sub, hold);
			check_sta(sub ? sub->at("sta") : r.at(action), st.sta);
		} else if (action == "vanish" || action == "appear" || action == "arp") {
			st.kind = action == "vanish"   ? step_kind::vanish
				  : action == "appear" ? step_kind::appear
						       : step_kind::arp;
			st.box = name_or_field(r, action, "box", &sub, hold);
			check_box(sub ? sub->at("box") : r.at(action), st.box);
		} else if (action == "radar") {
			st.kind = step_kind::radar;
			st.box = name_or_field(r, action, "box", &sub, hold);
			check_box(sub ? sub->at("box") : r.at(action), st.box);
			if (sub)
				st.on = sub->boolean("on", true);
		} else if (action == "fault") {
			st.kind = step_kind::fault;
			obj_reader a(r.get(action), r.at(action));
			st.box = a.str("box", true);
			check_box(a.at("box"), st.box);
			st.fault = parse_fault(a);
			a.no_unknown_keys();
		} else if (action == "event") {
			st.kind = step_kind::event;
			obj_reader a(r.get(action), r.at(action));
			st.name = a.str("name", true);
			if (st.name.empty())
				fail(a.at("name"), "empty");
			if (json_object *d = a.get("data")) {
				if (!json_object_is_type(d, json_type_object))
					fail(a.at("data"), "not an object (" + quoted(d) + ")");
				st.json = json_object_to_json_string_ext(d, JSON_C_TO_STRING_PLAIN);
			}
			a.no_unknown_keys();
		} else if (action == "restart") {
			st.kind = step_kind::restart;
			obj_reader a(r.get(action), r.at(action));
			st.box = a.str("box", true);
			check_box(a.at("box"), st.box);
			if (json_object *ord = a.array("order", false)) {
				for (size_t i = 0; i < json_object_array_length(ord); i++) {
					json_object *e = json_object_array_get_idx(ord, i);
					std::string v = json_object_is_type(e, json_type_string)
								? json_object_get_string(e)
								: "";
					if (v != "wifi.agent" && v != "wifix" && v.rfind("router.", 0))
						fail(idx(a.at("order"), i),
						     "not an object of a box (" + quoted(e) + ")");
					st.order.push_back(v);
				}
			}
			st.gap = a.number("gap", false, 0, 0, 60);
			a.no_unknown_keys();
		} else if (action == "churn") {
			st.kind = step_kind::churn;
			obj_reader a(r.get(action), r.at(action));
			st.count = static_cast<int>(a.integer("stations", true, 0, 1, 5000));
			st.seed = static_cast<unsigned>(a.integer("seed", false, 1, 0, 1 << 30));
			st.every = a.number("boxes_every", false, 4, 0.5, 600);
			st.settle = a.number("settle", false, 5, 1, 60);
			a.no_unknown_keys();
		} else if (action == "broker_restart") {
			st.kind = step_kind::broker_restart;
			st.gap = r.number(action, true, 0, 0, 60);
		} else if (action == "stop") {
			st.kind = step_kind::stop;
			if (!r.boolean(action, false))
				fail(r.at(action), "not true");
		} else {
			st.kind = step_kind::note;
			st.text = r.str("note", true);
		}
		if (sub)
			sub->no_unknown_keys();
		r.no_unknown_keys();
		s.timeline.push_back(st);
	}

	// A station name or a MAC text.
	void check_sta_or_mac(const std::string &path, const std::string &v)
	{
		mac_addr m;
		if (!s.station(v) && !parse_mac(v, &m))
			fail(path, "neither a station nor a MAC address (\"" + v + "\")");
	}

	// The optional time bound of an expectation; its part of the label.
	static std::string within_field(obj_reader &a, double *within)
	{
		if (!a.has("within"))
			return "";
		*within = a.number("within", true, 0, 0, 600);
		if (*within <= 0)
			fail(a.at("within"), "not above 0");
		char text[32];
		snprintf(text, sizeof(text), " within %g s", *within);
		return text;
	}

	void parse_expect(json_object *o, const std::string &path)
	{
		obj_reader r(o, path);
		static const std::pair<const char *, expect_kind> kinds[] = {
			{"disconnect", expect_kind::disconnect},
			{"no_disconnect", expect_kind::no_disconnect},
			{"steer", expect_kind::steer},
			{"no_steer", expect_kind::no_steer},
			{"channel", expect_kind::channel},
			{"station_at", expect_kind::station_at},
			{"neighbors", expect_kind::neighbors},
			{"exclude", expect_kind::exclude},
			{"commands", expect_kind::commands},
			{"log", expect_kind::log},
			{"no_log", expect_kind::no_log},
			{"history", expect_kind::history},
			{"rejoin", expect_kind::rejoin},
		};
		expectation e;
		std::string key;
		for (const auto &k : kinds)
			if (r.has(k.first)) {
				if (!key.empty())
					fail(path, "holds both \"" + key + "\" and \"" + k.first + "\"");
				key = k.first;
				e.kind = k.second;
			}
		if (key.empty())
			fail(path, "no expectation (disconnect, no_disconnect, steer, no_steer, "
				   "channel, station_at, neighbors, exclude, commands, log, no_log, history "
				   "or rejoin)");
		r.known({"label", key.c_str()});
		e.label = r.str("label", false);
		if (e.kind == expect_kind::log || e.kind == expect_kind::no_log) {
			e.text = r.str(key, true);
			if (e.text.empty())
				fail(r.at(key), "empty");
			if (e.label.empty())
				e.label = std::string(e.kind == expect_kind::log ? "controller logged"
										 : "controller never logged") +
					  " \"" + e.text + "\"";
			r.no_unknown_keys();
			s.expect.push_back(e);
			return;
		}
		obj_reader a(r.get(key), r.at(key));
		std::string label;
		switch (e.kind) {
		case expect_kind::disconnect:
		case expect_kind::no_disconnect:
			e.box = a.str("box", e.kind == expect_kind::disconnect);
			if (!e.box.empty())
				check_box(a.at("box"), e.box);
			e.ifname = a.str("ifname", false);
			if (!e.ifname.empty())
				check_bss(a.at("ifname"), e.box + "/" + e.ifname);
			e.sta = a.str("sta", true);
			check_sta_or_mac(a.at("sta"), e.sta);
			label = std::string(e.kind == expect_kind::disconnect ? "controller dropped "
									       : "controller never dropped ") +
				e.sta + (e.box.empty() ? "" : " from " + e.box) +
				(e.ifname.empty() ? "" : "/" + e.ifname);
			if (e.kind == expect_kind::disconnect)
				label += within_field(a, &e.within);
			break;
		case expect_kind::steer:
			e.sta = a.str("sta", true);
			check_sta_or_mac(a.at("sta"), e.sta);
			e.box = a.str("box", false);
			if (!e.box.empty())
				check_box(a.at("box"), e.box);
			e.bss = a.str("to", false);
			if (!e.bss.empty())
				check_bss(a.at("to"), e.bss);
			label = "controller steered " + e.sta + (e.bss.empty() ? "" : " to " + e.bss) +
				within_field(a, &e.within);
			break;
		case expect_kind::no_steer:
			e.sta = a.str("sta", true);
			check_sta_or_mac(a.at("sta"), e.sta);
			label = "controller never steered " + e.sta;
			break;
		case expect_kind::channel:
			e.box = a.str("box", true);
			check_box(a.at("box"), e.box);
			e.value = static_cast<int>(a.integer("value", true, 0, 0, 196));
			label = e.box + " channel set to " + std::to_string(e.value);
			break;
		case expect_kind::station_at:
			e.sta = a.str("sta", true);
			check_sta(a.at("sta"), e.sta);
			e.bss = a.str("bss", true);
			if (!e.bss.empty())
				check_bss(a.at("bss"), e.bss);
			label = e.sta + (e.bss.empty() ? " not associated" : " ends on " + e.bss);
			break;
		case expect_kind::neighbors:
			e.box = a.str("box", true);
			check_box(a.at("box"), e.box);
			e.exact = a.boolean("exact", false);
			label = e.box + std::string(e.exact ? " neighbor table is exactly"
							    : " neighbor table holds") +
				" the other present BSSes";
			break;
		case expect_kind::exclude: {
			e.box = a.str("box", true);
			check_box(a.at("box"), e.box);
			json_object *c = a.array("contains", true);
			for (size_t i = 0; i < json_object_array_length(c); i++) {
				json_object *m = json_object_array_get_idx(c, i);
				std::string p = idx(a.at("contains"), i);
				if (!json_object_is_type(m, json_type_string))
					fail(p, "not a string (" + quoted(m) + ")");
				std::string v = json_object_get_string(m);
				mac_addr mm;
				if (!s.box(v) && !parse_mac(v, &mm))
					fail(p, "neither a box nor a MAC address (\"" + v + "\")");
				e.macs.push_back(v);
			}
			label = e.box + " exclusion list holds the mesh's boxes";
			break;
		}
		case expect_kind::commands:
			e.cmd = cmd_field(a, "cmd", true);
			e.box = a.str("box", false);
			if (!e.box.empty())
				check_box(a.at("box"), e.box);
			e.min = static_cast<int>(a.integer("min", false, 1, 0, 1 << 20));
			e.max = static_cast<int>(a.integer("max", false, -1, -1, 1 << 20));
			if (e.max >= 0 && e.max < e.min)
				fail(a.at("max"), "below min");
			label = cmd_text(e.cmd) + " to " + (e.box.empty() ? "the agents" : e.box) +
				" " + std::to_string(e.min) +
				(e.max < 0 ? "+" : e.max == e.min ? "" : ".." + std::to_string(e.max)) +
				" times";
			break;
		case expect_kind::history:
			e.sta = a.str("sta", false);
			if (!e.sta.empty())
				check_sta_or_mac(a.at("sta"), e.sta);
			e.text = a.str("kind", true);
			if (std::find(std::begin(history_kinds), std::end(history_kinds), e.text) ==
			    std::end(history_kinds))
				fail(a.at("kind"), "not a kind of decision (\"" + e.text + "\")");
			e.bss = a.str("contains", false);
			label = "history of " + (e.sta.empty() ? "the mesh" : e.sta) + " holds a " +
				e.text + " entry" +
				(e.bss.empty() ? "" : " saying \"" + e.bss + "\"");
			break;
		case expect_kind::rejoin:
			label = "controller back on the bus" + within_field(a, &e.within) +
				" of the new broker";
			if (e.within <= 0)
				fail(a.at("within"), "missing");
			break;
		default:
			break;
		}
		a.no_unknown_keys();
		r.no_unknown_keys();
		if (e.label.empty())
			e.label = label;
		s.expect.push_back(e);
	}
};

} // namespace

bool parse_scenario(const std::string &json, scenario *out, std::string *err)
{
	json_tokener *tok = json_tokener_new();
	json_object *root = json_tokener_parse_ex(tok, json.c_str(), static_cast<int>(json.size()));
	enum json_tokener_error jerr = json_tokener_get_error(tok);
	size_t offset = tok->char_offset;
	json_tokener_free(tok);
	if (!root || jerr != json_tokener_success) {
		// Line of the fault, counted up to where the tokenizer stopped.
		size_t line = 1 + std::count(json.begin(), json.begin() + std::min(offset, json.size()), '\n');
		*err = "scenario: not JSON (" + std::string(json_tokener_error_desc(jerr)) +
		       " near line " + std::to_string(line) + ")";
		json_object_put(root);
		return false;
	}
	parser p;
	try {
		p.parse(root);
	} catch (const parse_error &e) {
		json_object_put(root);
		*err = e.msg;
		return false;
	}
	json_object_put(root);
	*out = std::move(p.s);
	return true;
}

bool load_scenario(const std::string &name_or_path, const std::string &dir, scenario *out,
		   std::string *err)
{
	std::string path = name_or_path;
	struct stat st;
	if (stat(path.c_str(), &st) != 0 && name_or_path.find('/') == std::string::npos)
		path = dir + "/" + name_or_path + ".json";
	std::ifstream in(path, std::ios::binary);
	if (!in) {
		*err = path + ": cannot be read";
		return false;
	}
	std::ostringstream ss;
	ss << in.rdbuf();
	scenario s;
	if (!parse_scenario(ss.str(), &s, err)) {
		*err = path + ": " + *err;
		return false;
	}
	if (s.name.empty()) {
		size_t slash = path.find_last_of('/');
		std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
		s.name = base.size() > 5 && base.ends_with(".json") ? base.substr(0, base.size() - 5)
								    : base;
	}
	*out = std::move(s);
	return true;
}

} // namespace sim
