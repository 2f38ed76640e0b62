// A simulated box of the mesh: its Wi-Fi agent (object `<prefix>/wifi.agent`,
// method "cmd"), its `<prefix>/wifix` object (method "disconnect_sta") and,
// optionally, the `router.system`, `router.graph` and `router.network`
// objects, all under the box's prefix ("" for the router itself).
//
// The agent answers every command with the records the controller expects
// (status 0, a reply repeating "id", and "cmd_resp" as lower-case hex where
// the command returns data), keeps what the controller told it (neighbor
// entries by BSSID, the steering exclusion list, the channel, the monitored
// stations) and records every call in its host's journal.
//
// Ownership and threads: an agent is created by, owned by and destroyed with
// its `sim::host` (sim/host.h). Its state lives on the host thread. Every
// public method may be called from any thread: called elsewhere it runs on
// the host thread and returns when done (through `host::run`), so a test may
// configure an agent while the controller under test runs on its own thread.
// Getters return copies.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

class host;
struct agent_impl;

using mac_addr = std::array<uint8_t, 6>;

// "xx:xx:xx:xx:xx:xx" in lower case.
std::string mac_text(const mac_addr &mac);
// Parses "xx:xx:xx:xx:xx:xx" (either case); false when it is not one.
bool parse_mac(const std::string &text, mac_addr *out);

// One fronthaul BSS as GET_BSS_INFO reports it.
struct bss_config {
	std::string ifname; // at most 16 characters
	std::string ssid;   // at most 32 characters
	mac_addr bssid{};
	int channel = 0;
	uint8_t opclass = 0;
	uint8_t phy_type = 0;
	uint32_t bssid_info = 0;
};

struct agent_config {
	// "" for the router's own agent, a dotted IPv4 address for a remote box.
	std::string prefix;
	// Short label for journals and timelines ("router", "ext1"); defaults to
	// the prefix, or "local" for the empty prefix.
	std::string name;
	// The box's own MAC address (the topology tree's "mac"; the address
	// the controller finds in its ARP cache for the prefix).
	mac_addr macaddr{};
	// Topology tree entry: "extender", "repeater" or "router"; "" means
	// "router" for the empty prefix and "extender" for any other.
	std::string node_type;
	std::string connection_type = "wireless";
	int depth = 1;
	// 1 to 4 BSSes.
	std::vector<bss_config> bsses;
	// Adds router.system, router.graph and router.network too.
	bool router_objects = false;
	// Adds the wifix object (disconnect_sta).
	bool wifix = true;
	// GET_MOBID and GET_OUI answers (meaningful on the local agent).
	std::array<uint8_t, 2> mobility_domain{};
	std::vector<uint8_t> oui0; // at most 32 entries
	// The box's CPU: an agent writes the GET_OUI count in its own byte
	// order, which the controller on the same box shares.
	std::endian byte_order = std::endian::native;
	// The channel reported by GET_BSS_INFO (one value for all entries);
	// 0 takes the first BSS's channel.
	int channel = 0;
};

// What GET_MONITOR_STA answers for one station.
struct monitor_reading {
	mac_addr bssid{}; // the BSS it was heard on; zero: the agent's first BSS
	int rssi = 0;     // dBm; 0: not heard (signal byte 0)
	uint32_t seen = 0; // seconds since last heard
};

// One scan result, kept per BSSID, answered by GET_SCANRES.
struct scan_result {
	// Information elements after the 148-byte header; at most 1024 bytes.
	std::vector<uint8_t> ies;
	// Appends the radar-detected element (dd 0b 02 9e 7b dd 06 aa 04 and
	// four more bytes of vendor data, 13 bytes in all) to `ies`.
	bool radar = false;
	// Length written at offset 144; -1: the actual size of the elements.
	int64_t ie_len = -1;
};

// The radar-detected vendor element as it appears in a beacon.
extern const std::array<uint8_t, 9> radar_element;

// A neighbor entry as received with ADD_NEIGHBOR.
struct neighbor_entry {
	mac_addr bssid{};
	uint32_t bssid_info = 0;
	uint8_t opclass = 0;
	uint8_t channel = 0;
	uint8_t phy_type = 0;
};

// How the agent misbehaves, for all commands or one command id.
enum class fault_kind {
	none,
	no_reply,       // never completes the call (deferred and kept)
	wrong_id,       // the reply carries "id" = `value`
	error_status,   // final status `value` (default UBUS_STATUS_UNKNOWN_ERROR)
	no_id,          // reply without "id"
	no_cmd_resp,    // reply without "cmd_resp"
	oversized_resp, // "cmd_resp" padded with "00" to `value` characters (default 4000)
	malformed_resp, // "cmd_resp" with "zz" at hex character `value` (default 0)
	multiple_data,  // the reply sent `value` times (default 2)
	raw_resp,       // "cmd_resp" = `raw`, whatever the command
};

struct fault {
	fault_kind kind = fault_kind::none;
	int value = -1; // see fault_kind; -1 takes the default
	std::string raw;
};

class agent {
public:
	agent(const agent &) = delete;
	agent &operator=(const agent &) = delete;

	const std::string &prefix() const;
	const std::string &name() const;
	// Object path of `obj` under the prefix ("wifi.agent" or
	// "192.168.1.2/wifi.agent").
	std::string path(const std::string &obj) const;
	agent_config config() const;
	class host &owner() const;

	// Bus presence. A new agent is on the bus once host::add_agent returns.
	// vanish() removes all its objects (the broker raises
	// "ubus.object.remove" for each); reappear() adds them again, wifi.agent
	// last so that its companions are there when the controller looks.
	void vanish();
	void reappear();
	// The agent restarts: its objects leave the bus, it forgets what the
	// controller told it (neighbors, exclusion list, channel, monitored
	// stations; its stations stay associated), and its objects come back:
	// those not in `order` at once, then the ones in `order` in that order,
	// `gap_ms` apart (posted on the host loop).
	void restart(const std::vector<std::string> &order, int gap_ms);
	bool present() const;
	// Bus id of wifi.agent while present, else 0.
	uint32_t agent_id() const;

	// Stations, per BSS (by interface name). Nothing is raised.
	void add_station(const std::string &ifname, const mac_addr &sta);
	void remove_station(const mac_addr &sta);
	std::vector<mac_addr> stations(const std::string &ifname) const;
	// ifname of the BSS holding `sta`, or "".
	std::string station_bss(const mac_addr &sta) const;

	// Events under the prefix: "wifi.sta" for the local agent, else
	// "<prefix>/wifi.sta". `lowrssi` 0 leaves the attribute out.
	void raise_sta(const mac_addr &sta, const std::string &action, const std::string &vif,
		       int lowrssi = 0);
	// Any event under the prefix ("wifi.radio" -> "<prefix>/wifi.radio"),
	// data given as a JSON object text ("" for an empty table).
	void raise_event(const std::string &name, const std::string &json = "");
	// Association helpers: change the station table and raise the event.
	void associate(const std::string &ifname, const mac_addr &sta);
	void disassociate(const mac_addr &sta);

	// GET_MONITOR_STA answers.
	void set_monitor(const mac_addr &sta, const monitor_reading &r);
	void clear_monitor(const mac_addr &sta);
	// Stations MONITOR_STA asked for, oldest first.
	std::vector<mac_addr> monitored() const;

	// GET_SCANRES answers, by BSSID.
	void set_scan_result(const mac_addr &bssid, const scan_result &r);

	// What the controller told the agent.
	std::map<mac_addr, neighbor_entry> neighbors() const;
	// The last STEER_EXCLUDE list, as MAC texts.
	std::vector<std::string> exclude_list() const;
	// The last SET_PARAM "channel" value; -1 before any.
	int param_channel() const;
	// The channel GET_BSS_INFO reports now (a SET_PARAM channel other than
	// 0 overrides the configured one; 0 restores it).
	int current_channel() const;

	// Faults: `cmd_id` 0 applies to every command; a fault for the command's
	// own id wins over the catch-all.
	void set_fault(const fault &f, int cmd_id = 0);
	void clear_faults();
	// Completes every call kept by no_reply (status 0, with the reply the
	// command would have had when `answer`, else without data); returns
	// how many there were.
	int release_deferred(bool answer = false);

	// The record the agent would answer `cmd_id` with for the request
	// payload `data` (bytes, before hex encoding), without faults; empty for
	// commands that return no data. For tests of the records themselves.
	std::vector<uint8_t> reply_record(int cmd_id, const std::vector<uint8_t> &data) const;

	~agent();

private:
	friend class host;
	friend struct agent_impl;
	agent(class host &h, const agent_config &cfg);
	// On the host's new connection after the broker came back: the objects
	// that were on the bus are added again (new ids); kept calls are gone.
	void rejoin();
	agent_impl *impl_;
};

} // namespace sim
