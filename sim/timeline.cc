// The timeline's steps played on the host loop, and the stations of the
// scenario on the radio model: what the agents do on their own.
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "sim/mesh_state.h"

namespace sim {

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

} // namespace sim
