#include "sim/mesh.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <random>
#include <sstream>
#include <thread>

#include "sim/records.h"
#include "sim/story.h"
#include "src/cmd.h"

namespace sim {

// A station dropped from its BSS looks for another one after this long.
static constexpr int REJOIN_DELAY_MS = 1500;
// Lines about bursts of commands (a neighbor pass, monitoring requests) are
// written once the burst is over.
static constexpr int BURST_QUIET_MS = 400;

struct mesh_actor;

// A crowd of stations with random addresses and the boxes' comings and
// goings, driven by a seeded generator so that a run can be repeated.
struct churn_state {
	struct member {
		mac_addr addr{};
		std::string at; // "box/ifname", "" when not associated
	};
	std::mt19937 rng;
	std::vector<member> crowd;
	std::map<mac_addr, size_t> by_addr; // current addresses
	std::set<mac_addr> used;            // every address the crowd took
	std::vector<std::string> boxes;     // the remote boxes, in turn
	size_t next_box = 0;
	int box_events = 0;
	double end_at = 0; // seconds after start_timeline
	double every = 4;
	bool running = false;
	int joins = 0, roams = 0, leaves = 0, vanishes = 0, appears = 0, restarts = 0;
};

struct mesh::state {
	std::unique_ptr<mesh_actor> act;
	radio_model radio;
	std::map<std::string, agent *> agents; // by box name
	agent *local = nullptr;
	std::map<mac_addr, std::string> bss_names;  // BSSID -> "box/ifname"
	std::map<std::string, mac_addr> bss_ids;    // "box/ifname" -> BSSID
	std::map<std::string, std::map<int, fault>> faults; // box -> cmd -> fault
	bool in_model = false;
	std::map<std::string, std::string> last_left; // station -> BSS it last left
	std::map<std::string, std::string> printed;   // burst key -> last line written
	std::set<std::string> pending;                 // burst keys armed
	std::map<std::string, std::vector<std::string>> burst_items;
	std::atomic<bool> started{false};
	std::atomic<size_t> steps_done{0};
	std::vector<double> step_ran; // host time each timeline step ran; -1 before
	std::unique_ptr<churn_state> churn;
	std::atomic<int> controller_pid{0};
	std::chrono::steady_clock::time_point t0;
	const namer names;
	std::unique_ptr<follower> follow;
	std::string no_arp; // why the controller learns no box MAC, "" when it does

	explicit state(const scenario &s) : radio(s.lowrssi_threshold), names(s) {}
};

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
static mac_addr address_on(const scenario &s, const scenario_box &box, const mac_addr &own)
{
	if (!box.translate || s.oui.empty())
		return own;
	return translated_mac(own, s.oui[0], s.mobility_domain);
}

static const scenario_station *station_of(const scenario &s, const mac_addr &addr)
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

static std::string box_of(const std::string &bss)
{
	return bss.substr(0, bss.find('/'));
}

static std::string ifname_of(const std::string &bss)
{
	size_t slash = bss.find('/');
	return slash == std::string::npos ? "" : bss.substr(slash + 1);
}

static std::string dbm(int v)
{
	return v ? std::to_string(v) + " dBm" : "not heard";
}

// The model's side of the host thread: what the agents do on their own.
struct mesh_actor {
	mesh &m;
	host &h;
	const scenario &s;
	mesh::state &st;

	const scenario_box &box(const std::string &name) { return *s.box(name); }

	// The stations of the scenario on the radio model, and the timeline's
	// steps.
	std::vector<std::pair<std::string, mac_addr>> bsses_of(const scenario_box &b);
	void refresh_readings();
	void report_low_rssi();
	void join(const std::string &sta, const std::string &bss);
	void leave(const std::string &sta);
	void settle();
	void rejoin_later(const std::string &sta);
	void run_step(const timeline_step &step);
	bool arp_enter(const scenario_box &b);
	static std::string join_names(const std::vector<std::string> &v);
	void set_radar(const std::string &name, bool on);

	// The churning crowd.
	mac_addr random_addr();
	std::string random_bss(const std::string &not_on);
	void crowd_leave(churn_state::member &mb);
	void crowd_move();
	void crowd_tick();
	void box_tick();
	// Stations move a few at a time, as a crowd does: ten every 100 ms.
	static constexpr size_t CROWD_BATCH = 10;
	static constexpr int CROWD_BATCH_MS = 100;
	void crowd_rejoin(std::vector<size_t> lost);
	void churn_start(const timeline_step &step);
	void churn_end();
	// A crowd address: the account stays quiet about it.
	bool crowd(const mac_addr &a) const { return st.churn && st.churn->used.count(a); }

	// What the controller made the mesh do, from the host's hooks.
	std::string box_name(const agent &a);
	void burst(const std::string &key, const std::string &item,
		   std::function<std::string(const std::vector<std::string> &)> line,
		   bool housekeeping, std::function<void()> done = nullptr);
	bool faulty(const std::string &boxn, int id, fault_kind *kind);
	void on_command(agent &a, const cmd_record &r);
	void on_disconnect(agent &a, const disconnect_record &r);
	void on_station(agent &a, const mac_addr &addr, const std::string &ifname, bool joined);

	bool m_verbose = false;
};

std::vector<std::pair<std::string, mac_addr>> mesh_actor::bsses_of(const scenario_box &b)
{
	std::vector<std::pair<std::string, mac_addr>> out;
	for (const auto &x : b.bss)
		out.push_back({b.name + "/" + x.ifname, x.bssid});
	return out;
}

// Every agent answers GET_MONITOR_STA from the model, under every
// address the station may be known by.
void mesh_actor::refresh_readings()
{
	for (const auto &b : s.boxes) {
		agent *a = st.agents[b.name];
		for (const auto &sta : s.stations) {
			monitor_reading r = st.radio.reading(sta.name, bsses_of(b));
			a->set_monitor(sta.mac, r);
			for (uint8_t o : s.oui)
				a->set_monitor(translated_mac(sta.mac, o, s.mobility_domain), r);
		}
	}
}

void mesh_actor::report_low_rssi()
{
	for (const auto &name : st.radio.take_low_rssi()) {
		const radio_station *rs = st.radio.find(name);
		const scenario_station *ss = s.station(name);
		const scenario_box &b = box(box_of(rs->at));
		int sig = st.radio.signal(name, rs->at);
		m.say(name + " is weak on " + rs->at + " (" + dbm(sig) + "): " + b.name +
		      " reports lowrssi");
		st.agents[b.name]->raise_sta(address_on(s, b, ss->mac), "lowrssi",
					     ifname_of(rs->at), sig);
	}
}

void mesh_actor::join(const std::string &sta, const std::string &bss)
{
	const scenario_station *ss = s.station(sta);
	const scenario_box &b = box(box_of(bss));
	st.in_model = true;
	st.agents[b.name]->associate(ifname_of(bss), address_on(s, b, ss->mac));
	st.in_model = false;
	st.radio.place(sta, bss);
}

void mesh_actor::leave(const std::string &sta)
{
	const radio_station *rs = st.radio.find(sta);
	if (!rs || rs->at.empty())
		return;
	const scenario_box &b = box(box_of(rs->at));
	st.in_model = true;
	st.agents[b.name]->disassociate(address_on(s, b, s.station(sta)->mac));
	st.in_model = false;
	st.radio.place(sta, "");
}

void mesh_actor::settle()
{
	refresh_readings();
	report_low_rssi();
}

void mesh_actor::rejoin_later(const std::string &sta)
{
	h.post(
		[this, sta] {
			const radio_station *rs = st.radio.find(sta);
			if (!rs || !rs->at.empty())
				return;
			std::string best = st.radio.best_bss(sta);
			if (best.empty()) {
				m.say(sta + " hears no BSS of the mesh and stays away");
				return;
			}
			join(sta, best);
			m.say(sta + " rejoins on " + best + " (" +
			      dbm(st.radio.signal(sta, best)) + ")");
			settle();
		},
		REJOIN_DELAY_MS);
}

void mesh_actor::run_step(const timeline_step &step)
{
	switch (step.kind) {
	case step_kind::signal: {
		st.radio.set_signals(step.sta, step.signal);
		std::string line = step.sta + " hears";
		const char *sep = " ";
		for (const auto &kv : step.signal) {
			line += sep + kv.first + " at " + dbm(kv.second);
			sep = ", ";
		}
		// What follows from it (a weak report, a decision) tells it.
		m.say_more(line);
		settle();
		break;
	}
	case step_kind::join:
		join(step.sta, step.bss);
		m.say(step.sta + " " + mac_text(s.station(step.sta)->mac) + " joins " +
		      step.bss + " (" + dbm(st.radio.signal(step.sta, step.bss)) + ")");
		settle();
		break;
	case step_kind::roam: {
		const radio_station *rs = st.radio.find(step.sta);
		std::string from = rs ? rs->at : "";
		const scenario_station *ss = s.station(step.sta);
		if (from == step.bss) {
			m.say(step.sta + " is on " + step.bss + " already");
			break;
		}
		join(step.sta, step.bss);
		std::string line = step.sta + " " + mac_text(ss->mac) + " roamed " +
				   (from.empty() ? "(nowhere)" : from) + " -> " + step.bss;
		if (!from.empty() && from != step.bss) {
			const scenario_box &ob = box(box_of(from));
			mac_addr addr = address_on(s, ob, ss->mac);
			if (box_of(from) == box_of(step.bss) || step.leave) {
				// The old BSS saw it go.
				st.in_model = true;
				st.agents[ob.name]->remove_station(addr);
				st.agents[ob.name]->raise_sta(addr, "disassociated",
							      ifname_of(from));
				st.in_model = false;
			} else {
				line += "; " + from + " still lists it";
			}
		}
		m.say(line);
		settle();
		break;
	}
	case step_kind::leave:
		leave(step.sta);
		m.say(step.sta + " left the mesh");
		settle();
		break;
	case step_kind::vanish:
		st.agents[step.box]->vanish();
		m.say(step.box + " vanished from the bus");
		// The controller may watch it for radar; a slow one is asked again.
		if (st.follow) {
			st.follow->poke(500);
			st.follow->poke(2000);
		}
		break;
	case step_kind::appear:
		st.agents[step.box]->reappear();
		m.say(step.box + " is back on the bus");
		break;
	case step_kind::radar:
		set_radar(step.box, step.on);
		m.say(step.box + (step.on ? " detected radar: its beacons carry the radar element"
					  : " beacons without the radar element"));
		break;
	case step_kind::fault:
		st.agents[step.box]->set_fault(step.fault.f, step.fault.cmd);
		st.faults[step.box][step.fault.cmd] = step.fault.f;
		m.say(step.box +
		      (step.fault.f.kind == fault_kind::none ? " works again for "
							     : " turns faulty for ") +
		      (step.fault.cmd ? cmd_text(step.fault.cmd) : std::string("every command")));
		break;
	case step_kind::event:
		h.send_event(step.name, step.json);
		m.say("event " + step.name + (step.json.empty() ? "" : " " + step.json));
		break;
	case step_kind::note:
		m.say(step.text);
		break;
	case step_kind::restart:
		st.agents[step.box]->restart(step.order, static_cast<int>(step.gap * 1000));
		m.say(step.box + "'s agent restarts" +
		      (step.order.empty() ? std::string()
					  : ": " + join_names(step.order) + " come back last"));
		break;
	case step_kind::churn:
		churn_start(step);
		break;
	case step_kind::broker_restart:
		m.restart_broker(step.gap);
		break;
	case step_kind::stop:
		m.say("SIGTERM to the controller");
		m.bus_.stop_due = true;
		break;
	case step_kind::arp:
		m.say(box(step.box).name + (arp_enter(box(step.box))
						    ? " enters the controller's ARP cache"
						    : " could not be put into the controller's ARP cache"));
		break;
	}
}

// `ip neigh replace` for the box inside the controller's network
// namespace; true when it worked.
bool mesh_actor::arp_enter(const scenario_box &b)
{
	std::string ns = "/proc/" + std::to_string(st.controller_pid.load()) + "/ns/net";
	std::string mac = mac_text(b.mac);
	pid_t pid = fork();
	if (pid < 0)
		return false;
	if (pid == 0) {
		int fd = open(ns.c_str(), O_RDONLY | O_CLOEXEC);
		if (fd < 0 || setns(fd, CLONE_NEWNET) != 0)
			_exit(126);
		int devnull = open("/dev/null", O_WRONLY);
		if (devnull >= 0) {
			dup2(devnull, STDOUT_FILENO);
			dup2(devnull, STDERR_FILENO);
		}
		execlp("ip", "ip", "neigh", "replace", b.prefix.c_str(), "lladdr", mac.c_str(),
		       "dev", "br-lan", "nud", "permanent", static_cast<char *>(nullptr));
		_exit(127);
	}
	int status = 0;
	while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
	}
	return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string mesh_actor::join_names(const std::vector<std::string> &v)
{
	std::string out;
	for (const auto &x : v)
		out += (out.empty() ? "" : ", ") + x;
	return out;
}

// ---- churn -------------------------------------------------------------

mac_addr mesh_actor::random_addr()
{
	churn_state &c = *st.churn;
	mac_addr a;
	do {
		for (auto &b : a)
			b = static_cast<uint8_t>(c.rng());
		// Locally administered unicast, as randomised addresses are.
		a[0] = static_cast<uint8_t>((a[0] & 0xfc) | 0x02);
	} while (c.used.count(a) || station_of(s, a));
	c.used.insert(a);
	return a;
}

// A BSS of a present box other than `not_on`, or "".
std::string mesh_actor::random_bss(const std::string &not_on)
{
	churn_state &c = *st.churn;
	std::vector<std::string> all;
	for (const auto &b : s.boxes)
		if (st.agents[b.name]->present())
			for (const auto &x : b.bss)
				if (b.name + "/" + x.ifname != not_on)
					all.push_back(b.name + "/" + x.ifname);
	if (all.empty())
		return "";
	return all[c.rng() % all.size()];
}

void mesh_actor::crowd_leave(churn_state::member &mb)
{
	st.agents[box_of(mb.at)]->disassociate(mb.addr);
	mb.at.clear();
}

void mesh_actor::crowd_move()
{
	churn_state &c = *st.churn;
	size_t i = c.rng() % c.crowd.size();
	churn_state::member &mb = c.crowd[i];
	unsigned r = c.rng() % 4;
	if (mb.at.empty()) {
		std::string to = random_bss("");
		if (to.empty())
			return;
		c.by_addr.erase(mb.addr);
		mb.addr = random_addr();
		c.by_addr[mb.addr] = i;
		mb.at = to;
		st.agents[box_of(to)]->associate(ifname_of(to), mb.addr);
		c.joins++;
	} else if (r == 0) {
		crowd_leave(mb);
		c.leaves++;
	} else {
		std::string to = random_bss(mb.at);
		if (to.empty())
			return;
		// Half leave first; the others are still listed by the BSS
		// they left until the controller drops them there.
		if (r == 1)
			st.agents[box_of(mb.at)]->disassociate(mb.addr);
		mb.at = to;
		st.agents[box_of(to)]->associate(ifname_of(to), mb.addr);
		c.roams++;
	}
}

void mesh_actor::crowd_tick()
{
	churn_state &c = *st.churn;
	if (!c.running)
		return;
	if (m.elapsed() >= c.end_at) {
		churn_end();
		return;
	}
	for (int k = 0; k < 2; k++)
		crowd_move();
	h.post([this] { crowd_tick(); }, 50);
}

void mesh_actor::box_tick()
{
	churn_state &c = *st.churn;
	if (!c.running || c.boxes.empty())
		return;
	const std::string name = c.boxes[c.next_box++ % c.boxes.size()];
	agent *a = st.agents[name];
	int k = c.box_events++;
	if (!a->present()) {
		a->reappear();
		c.appears++;
	} else if (k % 3 == 2) {
		// Every third event restarts an agent, the router's every
		// other time.
		agent *r = (k / 3) % 2 && st.local ? st.local : a;
		r->restart({"wifi.agent", "wifix"}, 500);
		c.restarts++;
	} else {
		// Its stations lose their BSS with it, without a word, and
		// look for another one under the same address.
		std::vector<size_t> lost;
		for (size_t i = 0; i < c.crowd.size(); i++)
			if (box_of(c.crowd[i].at) == name) {
				a->remove_station(c.crowd[i].addr);
				c.crowd[i].at.clear();
				lost.push_back(i);
			}
		a->vanish();
		c.vanishes++;
		h.post([this, lost] { crowd_rejoin(lost); }, REJOIN_DELAY_MS);
	}
	h.post([this] { box_tick(); }, static_cast<int>(c.every * 1000));
}

void mesh_actor::crowd_rejoin(std::vector<size_t> lost)
{
	churn_state &c = *st.churn;
	if (lost.size() > CROWD_BATCH) {
		std::vector<size_t> rest(lost.begin() + CROWD_BATCH, lost.end());
		lost.resize(CROWD_BATCH);
		h.post([this, rest] { crowd_rejoin(rest); }, CROWD_BATCH_MS);
	}
	for (size_t i : lost) {
		churn_state::member &mb = c.crowd[i];
		std::string to = random_bss("");
		if (!c.running || !mb.at.empty() || to.empty())
			continue;
		mb.at = to;
		st.agents[box_of(to)]->associate(ifname_of(to), mb.addr);
		c.roams++;
	}
}

void mesh_actor::churn_start(const timeline_step &step)
{
	st.churn = std::make_unique<churn_state>();
	churn_state &c = *st.churn;
	c.rng.seed(step.seed);
	c.crowd.resize(static_cast<size_t>(step.count));
	c.every = step.every;
	c.end_at = s.duration - step.settle;
	for (const auto &b : s.boxes)
		if (!b.prefix.empty())
			c.boxes.push_back(b.name);
	c.running = true;
	m.say("churn: " + std::to_string(step.count) +
	      " stations with random addresses until " + std::to_string(int(c.end_at)) +
	      " s; a box event every " + std::to_string(step.every).substr(0, 4) + " s");
	crowd_tick();
	h.post([this] { box_tick(); }, static_cast<int>(c.every * 1000));
}

void mesh_actor::churn_end()
{
	churn_state &c = *st.churn;
	c.running = false;
	size_t n = 0;
	for (auto &mb : c.crowd) {
		if (mb.at.empty())
			continue;
		crowd_leave(mb);
		if (++n == CROWD_BATCH) {
			h.post([this] { churn_end(); }, CROWD_BATCH_MS);
			return;
		}
	}
	// Addresses a BSS still lists after the station went elsewhere.
	for (auto &kv : st.agents)
		for (const auto &addr : c.used)
			kv.second->remove_station(addr);
	for (const auto &b : s.boxes)
		if (!st.agents[b.name]->present()) {
			st.agents[b.name]->reappear();
			c.appears++;
		}
	m.say("churn over: " + std::to_string(c.joins) + " joins, " +
	      std::to_string(c.roams) + " roams, " + std::to_string(c.leaves) + " leaves, " +
	      std::to_string(c.used.size()) + " addresses; " + std::to_string(c.vanishes) +
	      " boxes vanished, " + std::to_string(c.appears) + " came back, " +
	      std::to_string(c.restarts) + " agents restarted; the crowd has left");
	st.steps_done++;
}

// What the router hears of `box` when it scans: its BSSes, with the
// radar element when it detected radar.
void mesh_actor::set_radar(const std::string &name, bool on)
{
	if (!st.local)
		return;
	for (const auto &x : box(name).bss) {
		scan_result r;
		// The SSID element, then the radar element when present.
		r.ies.assign(2 + x.ssid.size(), 0);
		r.ies[1] = static_cast<uint8_t>(x.ssid.size());
		for (size_t i = 0; i < x.ssid.size(); i++)
			r.ies[2 + i] = static_cast<uint8_t>(x.ssid[i]);
		r.radar = on;
		st.local->set_scan_result(x.bssid, r);
	}
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

void mesh_actor::on_station(agent &a, const mac_addr &addr, const std::string &ifname, bool joined)
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

void mesh::start_timeline()
{
	h_.run([&] {
		st_->t0 = std::chrono::steady_clock::now();
		st_->started = true;
		mesh_actor *ap = st_->act.get();
		st_->step_ran.assign(s_.timeline.size(), -1);
		for (size_t i = 0; i < s_.timeline.size(); i++) {
			const timeline_step *sp = &s_.timeline[i];
			h_.post(
				[this, ap, sp, i] {
					st_->step_ran[i] = h_.now();
					ap->run_step(*sp);
					// A churn counts once it is over.
					if (sp->kind != step_kind::churn)
						st_->steps_done++;
				},
				static_cast<int>(sp->at * 1000));
		}
		// Stations weak from the start are reported once the controller
		// listens.
		ap->report_low_rssi();
	});
}

bool mesh::timeline_done() const
{
	return st_->steps_done == s_.timeline.size();
}

double mesh::timeline_end() const
{
	double end = s_.timeline.empty() ? 0 : s_.timeline.back().at;
	for (const auto &step : s_.timeline)
		if (step.kind == step_kind::churn)
			end = std::max(end, s_.duration - step.settle);
	return end;
}

// ---- expectations and the summary --------------------------------------------

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
