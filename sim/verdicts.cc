// The scenario's expectations checked against what the agents received and
// the controller answered, the text map of the mesh, and the summary that
// ends a run.
#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "sim/mesh_state.h"
#include "sim/records.h"
#include "src/cmd.h"

namespace sim {

// The BSSes of the other present boxes that `b`'s neighbor table lacks, and
// its entries for BSSes no present box has.
static void neighbor_gaps(const scenario &s, mesh::state &st, const scenario_box &b,
			  std::vector<mac_addr> *missing, std::vector<mac_addr> *extra)
{
	std::set<mac_addr> want, have;
	for (const auto &ob : s.boxes)
		if (ob.name != b.name && st.agents[ob.name]->present())
			for (const auto &x : ob.bss)
				want.insert(x.bssid);
	for (const auto &kv : st.agents[b.name]->neighbors())
		have.insert(kv.first);
	for (const auto &m : want)
		if (!have.count(m))
			missing->push_back(m);
	for (const auto &m : have)
		if (!want.count(m))
			extra->push_back(m);
}

std::vector<map_box> mesh::map(bool at_start)
{
	std::vector<map_box> out;
	h_.run([&] {
		for (const auto &b : s_.boxes) {
			agent *a = at_start ? nullptr : st_->agents[b.name];
			map_box mb;
			mb.name = b.name;
			mb.about = b.prefix;
			if (b.type == "repeater")
				mb.about += (b.prefix.empty() ? "" : " ") + b.type;
			mb.gone = a ? !a->present() : !b.present;
			int set = a ? a->param_channel() : -1;
			for (const auto &x : b.bss) {
				std::string at = b.name + "/" + x.ifname;
				map_box::bss mx{x.ifname, set > 0 ? set : x.channel, {}};
				// The scenario's stations, under the address they have here.
				for (const auto &ss : s_.stations) {
					mac_addr addr = address_on(s_, b, ss.mac);
					const radio_station *rs = st_->radio.find(ss.name);
					bool here = a ? rs && rs->at == at : ss.at == at;
					if (!here)
						continue;
					auto sig = ss.signal.find(at);
					std::string t = ss.name + " " +
							dbm(a ? st_->radio.signal(ss.name, at)
							      : sig == ss.signal.end() ? 0 : sig->second);
					mx.stations.push_back(addr == ss.mac ? t : t + " as " + mac_text(addr));
				}
				size_t others = 0;
				if (a)
					for (const auto &m : a->stations(x.ifname))
						others += !station_of(s_, m);
				if (others)
					mx.stations.push_back(std::to_string(others) + " others");
				mb.bsses.push_back(mx);
			}
			if (a && a->present()) {
				std::vector<mac_addr> missing, extra;
				neighbor_gaps(s_, *st_, b, &missing, &extra);
				for (const auto &m : missing)
					mb.missing.push_back(bss_name(m));
				for (const auto &m : extra)
					mb.stale.push_back(bss_name(m));
			}
			out.push_back(mb);
		}
	});
	return out;
}

// Every address a station name or MAC text in an expectation stands for.
static std::vector<mac_addr> addresses_of(const scenario &s, const std::string &sta)
{
	std::vector<mac_addr> out;
	const scenario_station *ss = s.station(sta);
	if (!ss) {
		mac_addr m;
		if (parse_mac(sta, &m))
			out.push_back(m);
		return out;
	}
	out.push_back(ss->mac);
	for (uint8_t o : s.oui)
		out.push_back(translated_mac(ss->mac, o, s.mobility_domain));
	return out;
}

static bool contains(const std::vector<mac_addr> &v, const mac_addr &m)
{
	return std::find(v.begin(), v.end(), m) != v.end();
}

// Host time of the cause of a call at host time `t` concerning station
// `sta` (a name or a MAC text): the latest step naming it that ran before
// the call; -1 when there is none.
static double cause_of(const scenario &s, const std::vector<double> &ran, const std::string &sta,
		       double t)
{
	std::string name = sta;
	mac_addr m;
	if (!s.station(sta) && parse_mac(sta, &m)) {
		const scenario_station *ss = station_of(s, m);
		name = ss ? ss->name : "";
	}
	double cause = -1;
	for (size_t i = 0; i < s.timeline.size() && i < ran.size(); i++) {
		const timeline_step &st = s.timeline[i];
		bool names = st.sta == name &&
			     (st.kind == step_kind::signal || st.kind == step_kind::join ||
			      st.kind == step_kind::roam || st.kind == step_kind::leave);
		if (names && ran[i] >= 0 && ran[i] <= t)
			cause = std::max(cause, ran[i]);
	}
	return cause;
}

// Applies an expectation's "within" to the host times of its matching calls:
// the verdict holds when one came in time; the label tells the fastest.
static void judge_within(const scenario &s, const std::vector<double> &ran,
			 const expectation &e, const std::vector<double> &calls, verdict *v)
{
	double best = -1;
	for (double t : calls) {
		double cause = cause_of(s, ran, e.sta, t);
		if (cause >= 0 && (best < 0 || t - cause < best))
			best = t - cause;
	}
	char delay[64];
	snprintf(delay, sizeof(delay), "%.2f s after its cause", best);
	if (best >= 0)
		v->label += std::string(" (") + delay + ")";
	v->pass = best >= 0 && best <= e.within;
	if (calls.empty())
		return;
	v->why = best < 0 ? "no timeline step naming " + e.sta + " before the call"
			  : std::string("the fastest came ") + delay;
}

// Whether an expectation is about what the controller learns of the boxes'
// MACs from the ARP cache: their exclusion lists, or a log line naming one.
static bool needs_box_macs(const scenario &s, const expectation &e)
{
	if (e.kind == expect_kind::exclude ||
	    (e.kind == expect_kind::commands && e.cmd == CMD_STEER_EXCLUDE))
		return true;
	if (e.kind != expect_kind::log && e.kind != expect_kind::no_log)
		return false;
	for (const auto &b : s.boxes)
		if (e.text.find(mac_text(b.mac)) != std::string::npos)
			return true;
	return false;
}

std::vector<verdict> mesh::check(const std::string &controller_log)
{
	std::vector<verdict> out;
	fetch_history();
	std::vector<history_entry> hist;
	{
		std::lock_guard<std::mutex> lock(hist_mu_);
		hist = history_;
	}
	std::vector<cmd_record> cmds = h_.journal().commands();
	std::vector<disconnect_record> discs = h_.journal().disconnects();
	h_.run([&] {
		for (const auto &e : s_.expect) {
			verdict v;
			v.label = e.label;
			std::vector<mac_addr> addrs = addresses_of(s_, e.sta);
			const scenario_box *box = e.box.empty() ? nullptr : s_.box(e.box);
			agent *a = box ? st_->agents[box->name] : nullptr;
			switch (e.kind) {
			case expect_kind::disconnect:
			case expect_kind::no_disconnect: {
				std::vector<double> at;
				for (const auto &d : discs) {
					mac_addr m;
					if (box && d.prefix != box->prefix)
						continue;
					if (!e.ifname.empty() && d.ifname != e.ifname)
						continue;
					if (parse_mac(d.sta, &m) && contains(addrs, m))
						at.push_back(d.t);
				}
				int n = static_cast<int>(at.size());
				v.pass = e.kind == expect_kind::disconnect ? n > 0 : n == 0;
				v.why = std::to_string(n) + " matching disconnect_sta calls of " +
					std::to_string(discs.size());
				if (e.within > 0)
					judge_within(s_, st_->step_ran, e, at, &v);
				break;
			}
			case expect_kind::steer:
			case expect_kind::no_steer: {
				std::vector<double> at;
				for (const auto &c : cmds) {
					steer_request q;
					if (c.id != CMD_STEER || !decode_steer(c.payload, &q))
						continue;
					if (box && c.prefix != box->prefix)
						continue;
					if (!contains(addrs, q.sta))
						continue;
					if (!e.bss.empty() && st_->bss_ids[e.bss] != q.target)
						continue;
					at.push_back(c.t);
				}
				int n = static_cast<int>(at.size());
				v.pass = e.kind == expect_kind::steer ? n > 0 : n == 0;
				v.why = std::to_string(n) + " matching STEER commands";
				if (e.within > 0)
					judge_within(s_, st_->step_ran, e, at, &v);
				break;
			}
			case expect_kind::channel: {
				int ch = a->param_channel();
				v.pass = ch == e.value;
				v.why = ch < 0 ? "no channel was ever set" : "channel is " + std::to_string(ch);
				break;
			}
			case expect_kind::station_at: {
				const radio_station *rs = st_->radio.find(e.sta);
				v.pass = rs && rs->at == e.bss;
				v.why = rs && !rs->at.empty() ? "it is on " + rs->at : "it is not associated";
				break;
			}
			case expect_kind::neighbors: {
				std::vector<mac_addr> lack, more;
				neighbor_gaps(s_, *st_, *box, &lack, &more);
				std::string missing, extra;
				for (const auto &m : lack)
					missing += " " + bss_name(m);
				for (const auto &m : more)
					extra += " " + bss_name(m);
				v.pass = missing.empty() && (!e.exact || extra.empty());
				v.why = (missing.empty() ? "" : "missing" + missing) +
					(!missing.empty() && !extra.empty() ? "; " : "") +
					(extra.empty() ? "" : "stale" + extra);
				break;
			}
			case expect_kind::exclude: {
				std::vector<std::string> list = a->exclude_list();
				std::string missing;
				for (const auto &m : e.macs) {
					const scenario_box *b = s_.box(m);
					std::string t = b ? mac_text(b->mac) : m;
					if (std::find(list.begin(), list.end(), t) == list.end())
						missing += " " + m;
				}
				v.pass = missing.empty();
				v.why = list.empty() ? "no exclusion list received"
						     : "missing" + missing;
				break;
			}
			case expect_kind::commands: {
				int n = 0;
				for (const auto &c : cmds)
					if (c.id == e.cmd && (!box || c.prefix == box->prefix))
						n++;
				v.pass = n >= e.min && (e.max < 0 || n <= e.max);
				v.why = std::to_string(n) + " received";
				break;
			}
			case expect_kind::log:
				v.pass = controller_log.find(e.text) != std::string::npos;
				v.why = "not in the controller's log";
				break;
			case expect_kind::no_log:
				v.pass = controller_log.find(e.text) == std::string::npos;
				v.why = "found in the controller's log";
				break;
			case expect_kind::history: {
				int n = 0;
				// In the controller's words or the scenario's.
				for (const auto &x : hist)
					if ((e.sta.empty() ? !x.has_sta
							   : x.has_sta && contains(addrs, x.sta)) &&
					    x.kind == e.text &&
					    (x.reason.find(e.bss) != std::string::npos ||
					     st_->names(x.reason).find(e.bss) != std::string::npos))
						n++;
				v.pass = n > 0;
				v.why = std::to_string(hist.size()) + " history entries, none matching";
				std::string near = nearest_entries(hist, addrs, e.text, st_->names);
				if (!near.empty())
					v.why += "; nearest: " + near;
				break;
			}
			case expect_kind::rejoin:
				judge_rejoin(e, &v);
				break;
			}
			if (!st_->no_arp.empty() && needs_box_macs(s_, e)) {
				v.skipped = !v.pass;
				v.why = st_->no_arp;
			}
			out.push_back(v);
		}
	});
	return out;
}

void mesh::print_map(const std::string &title, bool at_start)
{
	std::string text = render_map(title, map(at_start));
	std::lock_guard<std::mutex> lock(out_mu_);
	fputs(text.c_str(), out_);
	fflush(out_);
}

void mesh::print_summary(const std::vector<verdict> &verdicts)
{
	std::ostringstream o;
	char when[64];
	snprintf(when, sizeof(when), "\nthe mesh at the end (%.1f s):", elapsed());
	o << render_map(when, map(false));
	h_.run([&] {
		// The named stations the controller places elsewhere than the mesh.
		std::lock_guard<std::mutex> lock(hist_mu_);
		if (station_pages_ >= 0) {
			std::string differs;
			for (const auto &ss : s_.stations) {
				std::vector<mac_addr> addrs = addresses_of(s_, ss.name);
				std::string mesh_at = "nowhere", ctl_at = "unknown";
				for (const auto &b : s_.boxes)
					for (const auto &m : addrs) {
						std::string f = st_->agents[b.name]->station_bss(m);
						if (!f.empty())
							mesh_at = b.name + "/" + f;
					}
				for (const auto &e : stations_)
					if (contains(addrs, e.sta))
						ctl_at = bss_name(e.bssid);
				if (ctl_at != mesh_at &&
				    !(ctl_at == "unknown" && mesh_at == "nowhere"))
					differs += " " + ss.name + " " + ctl_at + " (the mesh: " +
						   mesh_at + ")";
			}
			o << "controller's station table: " << stations_.size() << " stations in "
			  << station_pages_ << (station_pages_ == 1 ? " page" : " pages")
			  << (differs.empty() ? ", where the mesh has them"
					      : ", differing:" + differs)
			  << "\n";
		}
	});
	{
		// The controller's own account of what it decided, and why.
		std::lock_guard<std::mutex> lock(hist_mu_);
		o << "the controller's history (its decisions and why; the last 3 of each):\n";
		std::vector<std::string> names;
		for (const auto &ss : s_.stations)
			names.push_back(ss.name);
		names.push_back(""); // the mesh's own: radar, boxes coming and going
		size_t width = 6;
		for (const auto &n : names)
			width = std::max(width, n.size());
		for (const auto &name : names) {
			std::vector<mac_addr> addrs = addresses_of(s_, name);
			std::vector<const history_entry *> mine;
			for (const auto &x : history_)
				if (name.empty() ? !x.has_sta : x.has_sta && contains(addrs, x.sta))
					mine.push_back(&x);
			std::string who = name.empty() ? "(mesh)" : name;
			who.resize(width, ' ');
			for (size_t i = mine.size() > 3 ? mine.size() - 3 : 0; i < mine.size(); i++)
				o << "  " << who << " [" << mine[i]->time << " s] " << mine[i]->kind
				  << ": " << st_->names(mine[i]->reason) << "\n";
		}
	}
	if (verbose_) {
		std::map<int, int> per_kind;
		for (const auto &c : h_.journal().commands())
			per_kind[c.id]++;
		o << "commands received by the agents:";
		for (const auto &kv : per_kind)
			o << " " << cmd_text(kv.first) << " " << kv.second;
		o << "; disconnect_sta " << h_.journal().disconnects().size() << "\n";
	}
	o << "expectations:\n" << verdict_lines(verdicts) << result_line(verdicts);
	std::lock_guard<std::mutex> lock(out_mu_);
	fputs(o.str().c_str(), out_);
	fflush(out_);
}

} // namespace sim
