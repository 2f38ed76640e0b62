// A crowd of stations with random addresses and the boxes' comings and
// goings around it, from a "churn" step until shortly before the run ends.
#include <memory>
#include <string>
#include <vector>

#include "sim/mesh_state.h"

namespace sim {

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

} // namespace sim
