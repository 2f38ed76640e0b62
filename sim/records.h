// The byte records of the agent commands, as the simulated agents build and
// read them, and the hex text they travel in. Multi-byte integers are
// big-endian unless a record says otherwise. Decoders read from the bytes
// they are given and fail (returning false, output untouched) when a record
// is short.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/agent.h"

namespace sim {

// Sizes of the fixed records.
constexpr size_t BSS_INFO_HDR = 12;
constexpr size_t BSS_INFO_ENTRY = 61;
constexpr size_t ASSOCLIST_LEN = 52;
constexpr size_t MONITOR_STA_LEN = 20;
constexpr size_t STEER_LEN = 16;
constexpr size_t NEIGHBOR_LEN = 17;
constexpr size_t SCAN_REQ_LEN = 48;
constexpr size_t SCANRES_LEN = 1172;
constexpr size_t SCANRES_HDR = 144;
constexpr size_t SCANRES_IES_MAX = 1024;
constexpr size_t SET_PARAM_LEN = 140;
constexpr size_t OUI_LEN = 36;

// Value of the two hex digits at p, or -1.
int hex_byte(const char *p);
// Lower-case hex of the bytes.
std::string encode_hex(const std::vector<uint8_t> &bytes);
// Bytes of the hex text up to its first pair that is not two hex digits.
std::vector<uint8_t> decode_hex(const std::string &text);
// Text of a NUL-padded field of `len` bytes (up to the first NUL).
std::string fixed_text(const uint8_t *p, size_t len);

struct bss_info_item {
	std::string ifname;
	std::string ssid;
	mac_addr bssid{};
	uint32_t bssid_info = 0;
	uint8_t opclass = 0;
	uint8_t phy_type = 0;
};

// GET_BSS_INFO reply: 12-byte header (0, channel, count) and 61 bytes per BSS.
std::vector<uint8_t> encode_bss_info(int channel, const std::vector<bss_info_item> &items);
// GET_ASSOCLIST reply: ifname, count, up to 5 addresses, 2 reserved bytes.
std::vector<uint8_t> encode_assoclist(const std::string &ifname,
				      const std::vector<mac_addr> &stas);
// GET_MONITOR_STA reply: station, BSSID, signal byte (256 + dBm, 0 when not
// heard), 3 reserved bytes, seen.
std::vector<uint8_t> encode_monitor_sta(const mac_addr &sta, const monitor_reading &r);
// GET_SCANRES reply: 144-byte header (BSSID at 0), element length at 144,
// the elements from 148; always 1172 bytes.
std::vector<uint8_t> encode_scanres(const mac_addr &bssid, const scan_result &r);
// GET_OUI reply: the count as 4 bytes in `order`, then 32 entries.
std::vector<uint8_t> encode_oui(const std::vector<uint8_t> &oui0, std::endian order);
// Whether the radar element lies within the element length of a scan-result
// record (what the controller looks for).
bool scanres_has_radar(const std::vector<uint8_t> &rec);

struct steer_request {
	mac_addr sta{};
	uint32_t word = 0;
	mac_addr target{};
};

bool decode_steer(const std::vector<uint8_t> &data, steer_request *out);
bool decode_neighbor(const std::vector<uint8_t> &data, neighbor_entry *out);
// SET_PARAM with the name "channel": its value.
bool decode_set_param_channel(const std::vector<uint8_t> &data, int *channel);
// SCAN request: the SSID in its first 33 bytes.
bool decode_scan_ssid(const std::vector<uint8_t> &data, std::string *ssid);
// A request that names a station or BSS first (MONITOR_STA, GET_MONITOR_STA,
// DEL_NEIGHBOR, GET_SCANRES): that MAC.
bool decode_lead_mac(const std::vector<uint8_t> &data, mac_addr *mac);

} // namespace sim
