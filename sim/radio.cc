#include "sim/radio.h"

namespace sim {

// Agents answer a reading with how long ago they last heard the station;
// a station that transmits is heard all the time.
static constexpr uint32_t SEEN_RECENTLY = 1;

mac_addr translated_mac(const mac_addr &own, uint8_t oui0, const std::array<uint8_t, 2> &md)
{
	return {oui0, md[0], md[1], own[3], own[4], own[5]};
}

radio_station &radio_model::add(const std::string &name, const mac_addr &mac)
{
	radio_station s;
	s.name = name;
	s.mac = mac;
	stations_.push_back(s);
	return stations_.back();
}

radio_station *radio_model::find(const std::string &name)
{
	for (auto &s : stations_)
		if (s.name == name)
			return &s;
	return nullptr;
}

const radio_station *radio_model::find(const std::string &name) const
{
	for (const auto &s : stations_)
		if (s.name == name)
			return &s;
	return nullptr;
}

void radio_model::set_signals(const std::string &sta, const std::map<std::string, int> &sig)
{
	radio_station *s = find(sta);
	if (!s)
		return;
	for (const auto &kv : sig)
		s->signal[kv.first] = kv.second;
	if (!s->at.empty() && signal(sta, s->at) >= threshold_)
		s->low_reported = false;
}

int radio_model::signal(const std::string &sta, const std::string &bss) const
{
	const radio_station *s = find(sta);
	if (!s)
		return 0;
	auto it = s->signal.find(bss);
	return it == s->signal.end() ? 0 : it->second;
}

void radio_model::place(const std::string &sta, const std::string &bss)
{
	radio_station *s = find(sta);
	if (!s || s->at == bss)
		return;
	s->at = bss;
	s->low_reported = false;
}

std::vector<std::string> radio_model::take_low_rssi()
{
	std::vector<std::string> due;
	for (auto &s : stations_) {
		if (s.at.empty() || s.low_reported)
			continue;
		int sig = signal(s.name, s.at);
		// Not heard at all on its own BSS means no measurement, not a
		// weak one.
		if (sig != 0 && sig < threshold_) {
			s.low_reported = true;
			due.push_back(s.name);
		}
	}
	return due;
}

monitor_reading radio_model::reading(const std::string &sta,
				     const std::vector<std::pair<std::string, mac_addr>> &bsses) const
{
	monitor_reading best;
	for (const auto &b : bsses) {
		int sig = signal(sta, b.first);
		if (sig != 0 && (best.rssi == 0 || sig > best.rssi)) {
			best.rssi = sig;
			best.bssid = b.second;
			best.seen = SEEN_RECENTLY;
		}
	}
	return best;
}

std::string radio_model::best_bss(const std::string &sta) const
{
	const radio_station *s = find(sta);
	if (!s)
		return "";
	std::string best;
	int best_sig = 0;
	for (const auto &kv : s->signal)
		if (kv.second != 0 && (best.empty() || kv.second > best_sig)) {
			best = kv.first;
			best_sig = kv.second;
		}
	return best;
}

} // namespace sim
