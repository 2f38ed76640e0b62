// The simulator's radio model: every client station hears every BSS of the
// mesh at some signal (or not at all), and is associated with at most one BSS
// at a time. The model says what the agents would measure and report:
//  - a station whose signal on its own BSS is below the low-RSSI threshold
//    is reported once, until it moves or its signal recovers;
//  - an agent asked for its reading of a station answers the strongest of
//    its own BSSes that hear it;
//  - a station dropped from its BSS rejoins the strongest BSS that hears it.
// BSSes are named "box/ifname". The model is plain data, used on the host
// thread only, and knows nothing of the bus.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "sim/agent.h"

namespace sim {

// The address a repeater gives a client behind it: byte 0 from the OUI
// list, bytes 1-2 the mobility domain, bytes 3-5 the client's own.
mac_addr translated_mac(const mac_addr &own, uint8_t oui0, const std::array<uint8_t, 2> &md);

struct radio_station {
	std::string name;
	mac_addr mac{};
	std::map<std::string, int> signal; // "box/ifname" -> dBm; absent: not heard
	std::string at;                    // "box/ifname", "" when not associated
	bool low_reported = false;
};

class radio_model {
public:
	explicit radio_model(int lowrssi_threshold = -70) : threshold_(lowrssi_threshold) {}

	int threshold() const { return threshold_; }
	radio_station &add(const std::string &name, const mac_addr &mac);
	radio_station *find(const std::string &name);
	const radio_station *find(const std::string &name) const;
	std::vector<radio_station> &stations() { return stations_; }

	// Sets the signals given; a station whose signal on its BSS rises to
	// the threshold or above may be reported again later.
	void set_signals(const std::string &sta, const std::map<std::string, int> &sig);
	// The signal of `sta` on `bss`, or 0 when not heard.
	int signal(const std::string &sta, const std::string &bss) const;
	// Moves the station (`bss` "" : not associated); a move re-arms the
	// low-RSSI report.
	void place(const std::string &sta, const std::string &bss);

	// Stations due a low-RSSI report now: associated, signal on their BSS
	// below the threshold, not yet reported. Marks them reported.
	std::vector<std::string> take_low_rssi();

	// What an agent whose BSSes are `bsses` ("box/ifname" and BSSID each)
	// measures for `sta`: the strongest of them that hears it.
	monitor_reading reading(const std::string &sta,
				const std::vector<std::pair<std::string, mac_addr>> &bsses) const;
	// The strongest BSS hearing `sta`, or "" when none does.
	std::string best_bss(const std::string &sta) const;

private:
	int threshold_;
	std::vector<radio_station> stations_;
};

} // namespace sim
