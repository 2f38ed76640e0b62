// The agent's inside, shared by agent.cc (its objects on the bus, its
// stations and events, its public face) and agent_cmd.cc (what it does
// with the controller's calls). Everything here belongs to the host thread.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bus/ubus.h"
#include "sim/agent.h"
#include "sim/host.h"
#include "sim/host_impl.h"

namespace sim {

// One bus object of the box.
struct bus_obj {
	std::string path;
	struct ubus_object_type type {};
	struct ubus_object obj {};
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

// The methods of wifi.agent ("cmd") and of wifix ("disconnect_sta").
extern const struct ubus_method agent_methods[1];
extern const struct ubus_method wifix_methods[1];

} // namespace sim
