#include "sim/mesh.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "sim/mesh_state.h"
#include "sim/records.h"
#include "src/cmd.h"

namespace sim {

// Lines about bursts of commands (a neighbor pass, monitoring requests) are
// written once the burst is over.
static constexpr int BURST_QUIET_MS = 400;

mesh::mesh(host &h, const scenario &s, FILE *out, bool verbose, std::endian cpu)
	: h_(h), s_(s), out_(out), verbose_(verbose), cpu_(cpu),
	  st_(std::make_unique<state>(s))
{
}

double mesh::elapsed() const
{
	if (!st_->started)
		return 0;
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - st_->t0).count();
}

void mesh::set_controller(int pid)
{
	st_->controller_pid = pid;
}

void mesh::say_more(const std::string &text)
{
	if (verbose_)
		say(text);
}

void mesh::say(const std::string &text)
{
	char stamp[32];
	if (st_->started)
		snprintf(stamp, sizeof(stamp), "[%6.1fs]", elapsed());
	else
		snprintf(stamp, sizeof(stamp), "[ start ]");
	std::lock_guard<std::mutex> lock(out_mu_);
	fprintf(out_, "%s %s\n", stamp, text.c_str());
	fflush(out_);
	if (line_sink_)
		line_sink_(st_->started ? elapsed() : -1, text);
}

void mesh::on_line(std::function<void(double, const std::string &)> sink)
{
	std::lock_guard<std::mutex> lock(out_mu_);
	line_sink_ = std::move(sink);
}

std::string mesh::bss_name(const mac_addr &bssid) const
{
	auto it = st_->bss_names.find(bssid);
	return it == st_->bss_names.end() ? mac_text(bssid) : it->second;
}

// The address `sta` uses on `box`.
mac_addr address_on(const scenario &s, const scenario_box &box, const mac_addr &own)
{
	if (!box.translate || s.oui.empty())
		return own;
	return translated_mac(own, s.oui[0], s.mobility_domain);
}

const scenario_station *station_of(const scenario &s, const mac_addr &addr)
{
	for (const auto &st : s.stations) {
		if (st.mac == addr)
			return &st;
		for (uint8_t o : s.oui)
			if (translated_mac(st.mac, o, s.mobility_domain) == addr)
				return &st;
	}
	return nullptr;
}

std::string mesh::sta_name(const mac_addr &addr) const
{
	const scenario_station *st = station_of(s_, addr);
	if (!st)
		return mac_text(addr);
	if (st->mac == addr)
		return st->name + " " + mac_text(addr);
	return st->name + " (as " + mac_text(addr) + ")";
}

std::string box_of(const std::string &bss)
{
	return bss.substr(0, bss.find('/'));
}

std::string ifname_of(const std::string &bss)
{
	size_t slash = bss.find('/');
	return slash == std::string::npos ? "" : bss.substr(slash + 1);
}

std::string dbm(int v)
{
	return v ? std::to_string(v) + " dBm" : "not heard";
}
// ---- what the controller made the mesh do ---------------------------

std::string mesh_actor::box_name(const agent &a)
{
	for (const auto &kv : st.agents)
		if (kv.second == &a)
			return kv.first;
	return a.name();
}

// A line about a burst of commands, written once the burst is over and
// only when it says something new; `housekeeping` lines only with -v.
// `done` runs when the burst is over.
void mesh_actor::burst(const std::string &key, const std::string &item,
		       std::function<std::string(const std::vector<std::string> &)> line,
		       bool housekeeping, std::function<void()> done)
{
	auto &items = st.burst_items[key];
	if (!item.empty() && std::find(items.begin(), items.end(), item) == items.end())
		items.push_back(item);
	if (st.pending.count(key))
		return;
	st.pending.insert(key);
	h.post(
		[this, key, line, housekeeping, done] {
			st.pending.erase(key);
			std::string text = line(st.burst_items[key]);
			st.burst_items.erase(key);
			if (done)
				done();
			if (text.empty() || st.printed[key] == text)
				return;
			st.printed[key] = text;
			if (housekeeping)
				m.say_more(text);
			else
				m.say(text);
		},
		BURST_QUIET_MS);
}

bool mesh_actor::faulty(const std::string &boxn, int id, fault_kind *kind)
{
	auto it = st.faults.find(boxn);
	if (it == st.faults.end())
		return false;
	auto f = it->second.find(id);
	if (f == it->second.end())
		f = it->second.find(0);
	if (f == it->second.end() || f->second.kind == fault_kind::none)
		return false;
	*kind = f->second.kind;
	return true;
}

void mesh_actor::on_command(agent &a, const cmd_record &r)
{
	std::string bn = box_name(a);
	if (mac_addr lead; (r.id == CMD_MONITOR_STA || r.id == CMD_GET_MONITOR_STA ||
			    r.id == CMD_STEER) &&
			   decode_lead_mac(r.payload, &lead) && crowd(lead))
		return;
	if (m_verbose)
		m.say("  " + bn + " <- " + cmd_text(r.id) + (r.has_data ? " " + r.data : ""));
	fault_kind fk = fault_kind::none;
	bool broken = faulty(bn, r.id, &fk);
	std::string fault_key = "fault " + bn + " " + std::to_string(r.id);
	if (broken && !st.printed.count(fault_key)) {
		st.printed[fault_key] = "x";
		m.say(bn + (fk == fault_kind::no_reply ? " does not answer "
						       : " answers wrongly to ") +
		      cmd_text(r.id) + " (and will not be reported again)");
	}
	switch (r.id) {
	case CMD_STEER: {
		steer_request q;
		if (!decode_steer(r.payload, &q))
			break;
		const scenario_station *ss = station_of(s, q.sta);
		std::string target = m.bss_name(q.target);
		std::string line = "controller steered " + m.sta_name(q.sta) + " from " + bn;
		if (ss) {
			std::string from = st.last_left.count(ss->name) ? st.last_left[ss->name]
									: st.radio.find(ss->name)->at;
			if (box_of(from) == bn)
				line = "controller steered " + m.sta_name(q.sta) + " from " + from;
			line += " to " + target + " (" + dbm(st.radio.signal(ss->name, target)) +
				" vs " + dbm(st.radio.signal(ss->name, from)) + ")";
		} else {
			line += " to " + target;
		}
		m.say(line);
		break;
	}
	case CMD_SET_PARAM: {
		int ch;
		// An agent that leaves the call unanswered or fails it keeps its channel.
		if (!decode_set_param_channel(r.payload, &ch))
			break;
		if (broken &&
		    (fk == fault_kind::no_reply || fk == fault_kind::error_status))
			m.say(bn + " keeps its channel (SET_PARAM " + std::to_string(ch) +
			      " not taken)");
		else
			m.say(bn + " channel -> " + std::to_string(ch) +
			      (ch == 0 ? " (its own choice again)" : ""));
		break;
	}
	case CMD_SCAN: {
		std::string ssid;
		if (decode_scan_ssid(r.payload, &ssid))
			m.say("controller has " + bn + " scan for \"" + ssid + "\"");
		break;
	}
	case CMD_GET_SCANRES: {
		mac_addr b;
		if (!decode_lead_mac(r.payload, &b))
			break;
		std::vector<uint8_t> rec = a.reply_record(CMD_GET_SCANRES, r.payload);
		m.say("controller asks " + bn + " for its scan result of " + m.bss_name(b) +
		      ": " + (scanres_has_radar(rec) ? "radar in its beacon" : "no radar"));
		break;
	}
	case CMD_DEL_NEIGHBOR: {
		mac_addr b;
		if (!decode_lead_mac(r.payload, &b))
			break;
		m.say_more("controller withdraws neighbor " + m.bss_name(b) + " from " + bn);
		st.printed.erase("nbr " + bn);
		break;
	}
	case CMD_ADD_NEIGHBOR: {
		agent *ap = &a;
		burst("nbr " + bn, "", [this, ap, bn](const std::vector<std::string> &) {
			std::string line = bn + " neighbor table:";
			auto nb = ap->neighbors();
			// Appended piecewise: GCC 12 sees a false overlap
			// (-Wrestrict) in `" " + string` when optimising for speed.
			for (const auto &kv : nb)
				line.append(" ").append(m.bss_name(kv.first));
			return nb.empty() ? line + " (empty)" : line;
		}, true);
		break;
	}
	case CMD_STEER_EXCLUDE: {
		std::string list = r.data;
		burst("exclude", bn, [this, list](const std::vector<std::string> &to) {
			std::string line = "exclusion list";
			for (size_t i = 0; i + 17 <= list.size(); i += 17) {
				mac_addr mm;
				std::string t = list.substr(i, 17);
				if (parse_mac(t, &mm))
					for (const auto &b : s.boxes)
						if (b.mac == mm)
							t = b.name;
				line += " " + t;
			}
			if (list.empty())
				line += " (empty)";
			return line + " sent to " + std::to_string(to.size()) +
			       (to.size() == 1 ? " agent" : " agents");
		}, false);
		break;
	}
	case CMD_MONITOR_STA: {
		mac_addr sta;
		if (!decode_lead_mac(r.payload, &sta))
			break;
		std::string who = m.sta_name(sta);
		burst("monitor " + who, bn, [who](const std::vector<std::string> &to) {
			std::string line = "monitoring of " + who + " asked from";
			for (const auto &t : to)
				line += " " + t;
			return line;
		}, true);
		break;
	}
	case CMD_GET_MONITOR_STA: {
		mac_addr sta;
		if (!decode_lead_mac(r.payload, &sta))
			break;
		std::vector<uint8_t> rec = a.reply_record(CMD_GET_MONITOR_STA, r.payload);
		int sig = rec[12] ? rec[12] - 256 : 0;
		std::string who = m.sta_name(sta);
		std::string item = bn + " (" +
				   (broken && fk == fault_kind::no_reply ? "no answer" : dbm(sig)) +
				   ")";
		st.printed.erase("reading " + who);
		burst("reading " + who, item, [who](const std::vector<std::string> &from) {
			std::string line = "controller asked for readings of " + who + ":";
			for (const auto &f : from)
				line += " " + f;
			return line;
		}, true, [this] {
			// The decision on the readings is made: whether it was not
			// to steer shows in the controller's history alone.
			if (st.follow)
				st.follow->poke(0);
		});
		break;
	}
	default:
		break;
	}
}

void mesh_actor::on_disconnect(agent &a, const disconnect_record &r)
{
	mac_addr addr;
	bool is_mac = parse_mac(r.sta, &addr);
	if (is_mac && crowd(addr))
		return;
	std::string who = is_mac ? m.sta_name(addr) : r.sta;
	std::string line = "controller dropped " + who + " from " + box_name(a) + "/" + r.ifname;
	const scenario_station *ss = is_mac ? station_of(s, addr) : nullptr;
	const radio_station *rs = ss ? st.radio.find(ss->name) : nullptr;
	if (rs && !rs->at.empty() && rs->at != box_name(a) + "/" + r.ifname)
		line += " (it is on " + rs->at + " now)";
	m.say(line);
}

void mesh_actor::on_station(agent &a, const mac_addr &addr, const std::string &ifname,
			    bool joined)
{
	if (st.in_model)
		return;
	if (crowd(addr)) {
		auto it = st.churn->by_addr.find(addr);
		std::string bss = box_name(a) + "/" + ifname;
		if (it != st.churn->by_addr.end()) {
			auto &mb = st.churn->crowd[it->second];
			if (joined)
				mb.at = bss;
			else if (mb.at == bss)
				mb.at.clear();
		}
		return;
	}
	const scenario_station *ss = station_of(s, addr);
	if (!ss)
		return;
	std::string bss = box_name(a) + "/" + ifname;
	const radio_station *rs = st.radio.find(ss->name);
	if (joined) {
		st.radio.place(ss->name, bss);
		// After the line about the command that moved it.
		std::string line = ss->name + " now on " + bss + " (" +
				   dbm(st.radio.signal(ss->name, bss)) + ")";
		h.post([this, line] { m.say_more(line); }, 0);
	} else {
		st.last_left[ss->name] = bss;
		if (rs->at == bss) {
			st.radio.place(ss->name, "");
			rejoin_later(ss->name);
		}
	}
	h.post([this] { settle(); }, h.move_delay_ms() + 50);
}

mesh::~mesh()
{
	// It tells through this mesh's lines.
	st_->follow.reset();
	// The hooks and the posted steps point at this mesh: a host that
	// outlives it must be stopped first, or forget them here.
	h_.on_command(nullptr);
	h_.on_disconnect(nullptr);
	h_.on_station(nullptr);
}

void mesh::build()
{
	// Before the hooks that poke it.
	st_->follow = std::make_unique<follower>(
		h_.socket_path(), st_->names,
		[this](const mac_addr &a) { return station_of(s_, a) ? sta_name(a) : ""; },
		[this](const std::string &line) { say(line); });
	h_.run([&] {
		st_->act.reset(new mesh_actor{*this, h_, s_, *st_});
		st_->act->m_verbose = verbose_;
		mesh_actor *ap = st_->act.get();
		for (const auto &b : s_.boxes) {
			agent_config c;
			c.prefix = b.prefix;
			c.name = b.name;
			c.macaddr = b.mac;
			c.node_type = b.type;
			c.connection_type = b.connection;
			c.depth = b.depth;
			c.bsses = b.bss;
			c.router_objects = true;
			c.byte_order = cpu_;
			if (b.prefix.empty()) {
				c.mobility_domain = s_.mobility_domain;
				c.oui0 = s_.oui;
			}
			agent &a = h_.add_agent(c);
			if (!b.present)
				a.vanish();
			for (const auto &f : b.faults) {
				a.set_fault(f.f, f.cmd);
				st_->faults[b.name][f.cmd] = f.f;
			}
			st_->agents[b.name] = &a;
			if (b.prefix.empty())
				st_->local = &a;
			for (const auto &x : b.bss) {
				st_->bss_names[x.bssid] = b.name + "/" + x.ifname;
				st_->bss_ids[b.name + "/" + x.ifname] = x.bssid;
			}
		}
		for (const auto &b : s_.boxes)
			if (!b.prefix.empty())
				ap->set_radar(b.name, false);
		for (const auto &ss : s_.stations) {
			st_->radio.add(ss.name, ss.mac);
			st_->radio.set_signals(ss.name, ss.signal);
			if (!ss.at.empty()) {
				const scenario_box &b = *s_.box(box_of(ss.at));
				st_->agents[b.name]->add_station(ifname_of(ss.at),
								 address_on(s_, b, ss.mac));
				st_->radio.place(ss.name, ss.at);
			}
		}
		ap->refresh_readings();
		if (s_.topology)
			h_.add_topology();
		h_.set_mobile_stations(true);
		h_.on_command([ap](agent &a, const cmd_record &r) { ap->on_command(a, r); });
		h_.on_disconnect(
			[ap](agent &a, const disconnect_record &r) { ap->on_disconnect(a, r); });
		h_.on_station([ap](agent &a, const mac_addr &m, const std::string &ifname, bool j) {
			ap->on_station(a, m, ifname, j);
		});
	});
}

void mesh::set_no_arp(const std::string &why)
{
	st_->no_arp = why;
}

bool mesh::fetch_history()
{
	std::string reply, err;
	if (!ask_controller(h_.socket_path(), "history", "", &reply, &err))
		return false;
	std::lock_guard<std::mutex> lock(hist_mu_);
	history_ = parse_history(reply);
	return true;
}

bool mesh::fetch_stations()
{
	std::vector<station_entry> got;
	std::string err;
	int pages = 0;
	if (!ask_stations(h_.socket_path(), &got, &pages, &err))
		return false;
	std::lock_guard<std::mutex> lock(hist_mu_);
	stations_ = std::move(got);
	station_pages_ = pages;
	return true;
}

// Asks the controller right after its start-up survey: its object goes on
// the bus then, and may not be there yet.
static bool ask_once_up(const std::string &socket, const std::string &method,
			const std::string &args, std::string *reply, std::string *err)
{
	for (int i = 0; i < 20; i++) {
		if (ask_controller(socket, method, args, reply, err))
			return true;
		if (err->find("no aircoord object") == std::string::npos)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(100));
	}
	return false;
}

bool mesh::configure(std::string *err)
{
	std::string reply;
	if (s_.config.empty())
		return true;
	return ask_once_up(h_.socket_path(), "set_config", s_.config, &reply, err);
}

std::string mesh::boxes_known()
{
	std::string reply, err, out;
	if (!ask_once_up(h_.socket_path(), "status", "", &reply, &err))
		return "";
	std::vector<std::string> known = parse_node_prefixes(reply);
	for (const auto &b : s_.boxes)
		if (std::find(known.begin(), known.end(), b.prefix) != known.end())
			out += (out.empty() ? "" : " ") + b.name;
	return out;
}

} // namespace sim
