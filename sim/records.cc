#include "sim/records.h"

#include <algorithm>
#include <cstring>

#include "src/utils.h"

namespace sim {

static void put_be32(std::vector<uint8_t> &v, size_t at, uint32_t x)
{
	v[at] = static_cast<uint8_t>(x >> 24);
	v[at + 1] = static_cast<uint8_t>(x >> 16);
	v[at + 2] = static_cast<uint8_t>(x >> 8);
	v[at + 3] = static_cast<uint8_t>(x);
}

static uint32_t get_be32(const std::vector<uint8_t> &v, size_t at)
{
	return (uint32_t(v[at]) << 24) | (uint32_t(v[at + 1]) << 16) | (uint32_t(v[at + 2]) << 8) |
	       uint32_t(v[at + 3]);
}

static void put_text(std::vector<uint8_t> &v, size_t at, const std::string &s, size_t field)
{
	memcpy(v.data() + at, s.data(), std::min(s.size(), field));
}

static void put_mac(std::vector<uint8_t> &v, size_t at, const mac_addr &m)
{
	std::copy(m.begin(), m.end(), v.begin() + at);
}

static mac_addr get_mac(const std::vector<uint8_t> &v, size_t at)
{
	mac_addr m;
	std::copy(v.begin() + at, v.begin() + at + 6, m.begin());
	return m;
}

int hex_byte(const char *p)
{
	return hex_pair_value(p);
}

std::string encode_hex(const std::vector<uint8_t> &bytes)
{
	static const char digits[] = "0123456789abcdef";
	std::string s;
	s.reserve(bytes.size() * 2);
	for (uint8_t b : bytes) {
		s += digits[b >> 4];
		s += digits[b & 15];
	}
	return s;
}

std::vector<uint8_t> decode_hex(const std::string &text)
{
	std::vector<uint8_t> out;
	// Pairs only: a lone trailing digit is not a byte.
	for (size_t i = 0; i + 1 < text.size(); i += 2) {
		int v = hex_pair_value(text.c_str() + i);
		if (v < 0)
			break;
		out.push_back(static_cast<uint8_t>(v));
	}
	return out;
}

std::string fixed_text(const uint8_t *p, size_t len)
{
	size_t n = 0;
	while (n < len && p[n])
		n++;
	return std::string(reinterpret_cast<const char *>(p), n);
}

std::vector<uint8_t> encode_bss_info(int channel, const std::vector<bss_info_item> &items)
{
	size_t n = std::min<size_t>(items.size(), 4);
	std::vector<uint8_t> v(BSS_INFO_HDR + BSS_INFO_ENTRY * n, 0);
	put_be32(v, 4, static_cast<uint32_t>(channel));
	put_be32(v, 8, static_cast<uint32_t>(n));
	for (size_t i = 0; i < n; i++) {
		size_t at = BSS_INFO_HDR + BSS_INFO_ENTRY * i;
		put_text(v, at, items[i].ifname, 16);
		put_be32(v, at + 16, items[i].bssid_info);
		put_mac(v, at + 20, items[i].bssid);
		v[at + 26] = items[i].opclass;
		v[at + 27] = items[i].phy_type;
		put_text(v, at + 28, items[i].ssid, 32);
	}
	return v;
}

std::vector<uint8_t> encode_assoclist(const std::string &ifname, const std::vector<mac_addr> &stas)
{
	std::vector<uint8_t> v(ASSOCLIST_LEN, 0);
	size_t n = std::min<size_t>(stas.size(), 5);
	put_text(v, 0, ifname, 16);
	put_be32(v, 16, static_cast<uint32_t>(n));
	for (size_t i = 0; i < n; i++)
		put_mac(v, 20 + 6 * i, stas[i]);
	return v;
}

std::vector<uint8_t> encode_monitor_sta(const mac_addr &sta, const monitor_reading &r)
{
	std::vector<uint8_t> v(MONITOR_STA_LEN, 0);
	put_mac(v, 0, sta);
	put_mac(v, 6, r.bssid);
	// One unsigned byte: -1 dBm is 0xff, -255 is 0x01; anything out of
	// that range cannot be told and reads as not heard.
	if (r.rssi < 0 && r.rssi >= -255)
		v[12] = static_cast<uint8_t>(256 + r.rssi);
	put_be32(v, 16, r.seen);
	return v;
}

std::vector<uint8_t> encode_scanres(const mac_addr &bssid, const scan_result &r)
{
	std::vector<uint8_t> v(SCANRES_LEN, 0);
	put_mac(v, 0, bssid);
	std::vector<uint8_t> ies = r.ies;
	if (r.radar) {
		ies.insert(ies.end(), radar_element.begin(), radar_element.end());
		ies.insert(ies.end(), {0x01, 0x00, 0x00, 0x00});
	}
	if (ies.size() > SCANRES_IES_MAX)
		ies.resize(SCANRES_IES_MAX);
	uint32_t len = r.ie_len < 0 ? static_cast<uint32_t>(ies.size()) : static_cast<uint32_t>(r.ie_len);
	put_be32(v, SCANRES_HDR, len);
	std::copy(ies.begin(), ies.end(), v.begin() + SCANRES_HDR + 4);
	return v;
}

std::vector<uint8_t> encode_oui(const std::vector<uint8_t> &oui0, std::endian order)
{
	std::vector<uint8_t> v(OUI_LEN, 0);
	size_t n = std::min<size_t>(oui0.size(), 32);
	if (order == std::endian::big)
		put_be32(v, 0, static_cast<uint32_t>(n));
	else
		v[0] = static_cast<uint8_t>(n);
	std::copy(oui0.begin(), oui0.begin() + n, v.begin() + 4);
	return v;
}

bool scanres_has_radar(const std::vector<uint8_t> &rec)
{
	if (rec.size() < SCANRES_HDR + 4)
		return false;
	size_t len = get_be32(rec, SCANRES_HDR);
	size_t avail = rec.size() - SCANRES_HDR - 4;
	len = std::min({len, avail, SCANRES_IES_MAX});
	auto begin = rec.begin() + SCANRES_HDR + 4;
	return std::search(begin, begin + len, radar_element.begin(), radar_element.end()) !=
	       begin + len;
}

bool decode_steer(const std::vector<uint8_t> &data, steer_request *out)
{
	if (data.size() < STEER_LEN)
		return false;
	out->sta = get_mac(data, 0);
	out->word = get_be32(data, 6);
	out->target = get_mac(data, 10);
	return true;
}

bool decode_neighbor(const std::vector<uint8_t> &data, neighbor_entry *out)
{
	if (data.size() < NEIGHBOR_LEN)
		return false;
	out->bssid = get_mac(data, 4);
	out->bssid_info = get_be32(data, 10);
	out->opclass = data[14];
	out->channel = data[15];
	out->phy_type = data[16];
	return true;
}

bool decode_set_param_channel(const std::vector<uint8_t> &data, int *channel)
{
	if (data.size() < SET_PARAM_LEN || fixed_text(data.data(), 128) != "channel")
		return false;
	*channel = static_cast<int>(get_be32(data, 132));
	return true;
}

bool decode_scan_ssid(const std::vector<uint8_t> &data, std::string *ssid)
{
	if (data.size() < 33)
		return false;
	*ssid = fixed_text(data.data(), 33);
	return true;
}

bool decode_lead_mac(const std::vector<uint8_t> &data, mac_addr *mac)
{
	if (data.size() < 6)
		return false;
	*mac = get_mac(data, 0);
	return true;
}

} // namespace sim
