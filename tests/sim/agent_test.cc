// The simulated agent over a real broker: the records it answers, what it
// keeps, its faults, its events and its presence.
#include <json-c/json.h>

#include "bus/ubus.h"
#include "sim/records.h"
#include "src/cmd.h"
#include "tests/sim/sim_fixture.h"

using simtest::call_result;
using simtest::mac;

namespace {

std::string zeros(size_t bytes)
{
	return std::string(bytes * 2, '0');
}

sim::fault F(sim::fault_kind kind, int value = -1, const std::string &raw = "")
{
	sim::fault f;
	f.kind = kind;
	f.value = value;
	f.raw = raw;
	return f;
}

class AgentTest : public simtest::SimFixture {};

TEST_F(AgentTest, AnswersEveryQueryWithItsByteRecord)
{
	sim::agent_config cfg = simtest::box_cfg("192.168.1.2", 2, 2);
	cfg.mobility_domain = {0x12, 0x34};
	cfg.oui0 = {0x02, 0x06};
	cfg.byte_order = std::endian::little;
	sim::agent &a = host().add_agent(cfg);
	a.add_station("wl1", mac("5c:aa:bb:01:02:03"));
	a.add_station("wl1", mac("5c:aa:bb:01:02:04"));
	a.set_monitor(mac("5c:aa:bb:01:02:03"), {mac("02:00:00:02:02:01"), -60, 5});
	a.set_monitor(mac("5c:aa:bb:01:02:05"), {});
	sim::scan_result radar;
	radar.ies = {0x00, 0x02, 'h', 'i'};
	radar.radar = true;
	a.set_scan_result(mac("02:00:00:09:09:00"), radar);

	const std::string wl0 = "776c30" + zeros(13);
	const std::string wl1 = "776c31" + zeros(13);
	const std::string ssid = "6d65736832" + zeros(28);
	struct {
		const char *what;
		int id;
		const char *data;
		std::string want;
	} cases[] = {
		{"bss info: channel of wl0, two entries", CMD_GET_BSS_INFO, nullptr,
		 "00000000" "00000006" "00000002" + wl0 + "0000108f" "020000020200" "51" "07" + ssid +
			 wl1 + "0000108f" "020000020201" "73" "09" + ssid},
		{"assoclist of wl1", CMD_GET_ASSOCLIST, nullptr,
		 wl1 + "00000002" "5caabb010203" "5caabb010204" + zeros(18) + "0000"},
		{"assoclist of an unknown interface", CMD_GET_ASSOCLIST, nullptr,
		 "776c39" + zeros(13) + "00000000" + zeros(32)},
		{"monitor reading at -60 dBm seen 5 s ago", CMD_GET_MONITOR_STA, "5caabb010203",
		 "5caabb010203" "020000020201" "c4" "000000" "00000005"},
		{"station not heard", CMD_GET_MONITOR_STA, "5caabb010205",
		 "5caabb010205" "020000020200" "00" "000000" "00000000"},
		{"station never configured", CMD_GET_MONITOR_STA, "5caabb010209",
		 "5caabb010209" + zeros(6) + "00" "000000" "00000000"},
		{"mobility domain", CMD_GET_MOBID, nullptr, "1234"},
		{"oui list, count little-endian", CMD_GET_OUI, nullptr,
		 "02000000" "0206" + zeros(30)},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		std::string data = c.data ? c.data : "";
		if (c.id == CMD_GET_ASSOCLIST)
			data = c.want.substr(0, 32) + zeros(36);
		call_result r = cmd(a.path("wifi.agent"), c.id, data.empty() ? nullptr : data.c_str());
		ASSERT_EQ(r.status, 0);
		ASSERT_EQ(r.msgs.size(), 1u);
		EXPECT_TRUE(r.msgs[0].has_id);
		EXPECT_EQ(r.msgs[0].id, c.id);
		EXPECT_EQ(r.msgs[0].resp, c.want);
	}

	SCOPED_TRACE("scan result with the radar element");
	call_result r = cmd(a.path("wifi.agent"), CMD_GET_SCANRES, "020000090900");
	ASSERT_EQ(r.msgs.size(), 1u);
	const std::string &s = r.msgs[0].resp;
	ASSERT_EQ(s.size(), 2u * 1172);
	EXPECT_EQ(s.substr(0, 12), "020000090900");
	EXPECT_EQ(s.substr(288, 8), "00000011"); // 4 + 13 bytes of elements
	EXPECT_EQ(s.substr(296, 34), "00026869" "dd0b029e7bdd06aa04" "01000000");
	EXPECT_EQ(s.substr(330), zeros(1172 - 165));
}

TEST_F(AgentTest, CommandsWithoutDataRepeatTheIdOnly)
{
	sim::agent &a = host().add_agent(simtest::box_cfg("", 1));
	struct {
		int id;
		const char *data;
	} cases[] = {
		{CMD_SCAN, nullptr},
		{CMD_SCAN, "6d65736831"},
		{CMD_STEER_EXCLUDE, "02:aa:00:00:00:02"},
		{CMD_STEER, "5caabb010203" "00000001" "020000020200"},
		{CMD_MONITOR_STA, "5caabb010203"},
		{CMD_ADD_NEIGHBOR, "000000000211223344550000108f732409"},
		{CMD_DEL_NEIGHBOR, "021122334455"},
		{CMD_STEER_POLICY, nullptr},
		{CMD_CHANNEL_PLAN, nullptr},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE("command " + std::to_string(c.id));
		call_result r = cmd(a.path("wifi.agent"), c.id, c.data);
		ASSERT_EQ(r.status, 0);
		ASSERT_EQ(r.msgs.size(), 1u);
		EXPECT_TRUE(r.msgs[0].has_id);
		EXPECT_EQ(r.msgs[0].id, c.id);
		EXPECT_FALSE(r.msgs[0].has_resp);
	}
}

TEST_F(AgentTest, KeepsWhatTheControllerToldIt)
{
	sim::agent &a = host().add_agent(simtest::box_cfg("", 1, 2));
	std::string b1 = "000000000211223344550000108f732409";
	std::string b2 = "000000000211223344660000000051" "06" "07";
	cmd(a.path("wifi.agent"), CMD_ADD_NEIGHBOR, b1.c_str());
	cmd(a.path("wifi.agent"), CMD_ADD_NEIGHBOR, b2.c_str());
	cmd(a.path("wifi.agent"), CMD_ADD_NEIGHBOR, b1.c_str());
	auto nb = a.neighbors();
	ASSERT_EQ(nb.size(), 2u);
	const sim::neighbor_entry &e = nb[mac("02:11:22:33:44:55")];
	EXPECT_EQ(e.bssid_info, 0x108fu);
	EXPECT_EQ(e.opclass, 115);
	EXPECT_EQ(e.channel, 36);
	EXPECT_EQ(e.phy_type, 9);
	cmd(a.path("wifi.agent"), CMD_DEL_NEIGHBOR, "021122334455");
	nb = a.neighbors();
	ASSERT_EQ(nb.size(), 1u);
	EXPECT_EQ(nb.begin()->first, mac("02:11:22:33:44:66"));

	cmd(a.path("wifi.agent"), CMD_STEER_EXCLUDE, "02:00:00:00:00:0102:00:00:00:00:02");
	EXPECT_EQ(a.exclude_list(),
		  (std::vector<std::string>{"02:00:00:00:00:01", "02:00:00:00:00:02"}));

	cmd(a.path("wifi.agent"), CMD_MONITOR_STA, "5caabb010203");
	cmd(a.path("wifi.agent"), CMD_MONITOR_STA, "5caabb010203");
	EXPECT_EQ(a.monitored(), std::vector<sim::mac_addr>{mac("5c:aa:bb:01:02:03")});

	EXPECT_EQ(a.param_channel(), -1);
	std::string set36 = "6368616e6e656c" + zeros(121) + "00000008" "00000024" "00000050";
	cmd(a.path("wifi.agent"), CMD_SET_PARAM, set36.c_str());
	EXPECT_EQ(a.param_channel(), 36);
	EXPECT_EQ(a.current_channel(), 36);
	call_result r = cmd(a.path("wifi.agent"), CMD_GET_BSS_INFO);
	ASSERT_EQ(r.msgs.size(), 1u);
	EXPECT_EQ(r.msgs[0].resp.substr(8, 8), "00000024");
	std::string set0 = set36;
	set0.replace(264, 8, "00000000");
	cmd(a.path("wifi.agent"), CMD_SET_PARAM, set0.c_str());
	EXPECT_EQ(a.param_channel(), 0);
	EXPECT_EQ(a.current_channel(), 6);
}

TEST_F(AgentTest, FaultsShapeTheReply)
{
	sim::agent_config cfg = simtest::box_cfg("192.168.1.3", 3);
	cfg.mobility_domain = {0xa1, 0xb2};
	sim::agent &a = host().add_agent(cfg);
	using K = sim::fault_kind;
	struct {
		const char *what;
		sim::fault f;
		int status;
		size_t msgs;
		bool has_id;
		int id;
		bool has_resp;
		std::string resp;
	} cases[] = {
		{"none", F(K::none), 0, 1, true, 17, true, "a1b2"},
		{"wrong id", F(K::wrong_id, 9), 0, 1, true, 9, true, "a1b2"},
		{"wrong id, default", F(K::wrong_id), 0, 1, true, 18, true, "a1b2"},
		{"error status", F(K::error_status, UBUS_STATUS_NOT_SUPPORTED), UBUS_STATUS_NOT_SUPPORTED,
		 0, false, 0, false, ""},
		{"no id", F(K::no_id), 0, 1, false, 0, true, "a1b2"},
		{"no cmd_resp", F(K::no_cmd_resp), 0, 1, true, 17, false, ""},
		{"oversized", F(K::oversized_resp, 3200), 0, 1, true, 17, true,
		 "a1b2" + std::string(3196, '0')},
		{"malformed", F(K::malformed_resp, 2), 0, 1, true, 17, true, "a1zz"},
		{"two data messages", F(K::multiple_data), 0, 2, true, 17, true, "a1b2"},
		{"raw text", F(K::raw_resp, -1, "xyz"), 0, 1, true, 17, true, "xyz"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		a.set_fault(c.f, CMD_GET_MOBID);
		call_result r = cmd(a.path("wifi.agent"), CMD_GET_MOBID);
		EXPECT_EQ(r.status, c.status);
		ASSERT_EQ(r.msgs.size(), c.msgs);
		for (const auto &m : r.msgs) {
			EXPECT_EQ(m.has_id, c.has_id);
			if (c.has_id) {
				EXPECT_EQ(m.id, c.id);
			}
			EXPECT_EQ(m.has_resp, c.has_resp);
			EXPECT_EQ(m.resp, c.resp);
		}
		// Other commands keep answering normally.
		call_result other = cmd(a.path("wifi.agent"), CMD_SCAN);
		EXPECT_EQ(other.status, 0);
	}
}

TEST_F(AgentTest, AgentThatNeverAnswersKeepsTheCallOpen)
{
	sim::agent &a = host().add_agent(simtest::box_cfg("192.168.1.2", 2));
	a.set_fault(F(sim::fault_kind::no_reply));
	call_result r = cmd(a.path("wifi.agent"), CMD_GET_BSS_INFO, nullptr, 300);
	EXPECT_EQ(r.status, UBUS_STATUS_TIMEOUT);
	EXPECT_TRUE(r.msgs.empty());
	// It heard the command all the same.
	EXPECT_EQ(host().journal().count(CMD_GET_BSS_INFO, "192.168.1.2"), 1u);
	EXPECT_EQ(a.release_deferred(), 1);
	a.clear_faults();
	EXPECT_EQ(cmd(a.path("wifi.agent"), CMD_GET_BSS_INFO).status, 0);
}

TEST_F(AgentTest, JournalKeepsEveryCallInOrder)
{
	sim::agent &router = host().add_agent(simtest::box_cfg("", 1));
	sim::agent &ext = host().add_agent(simtest::box_cfg("192.168.1.2", 2));
	cmd(router.path("wifi.agent"), CMD_MONITOR_STA, "5caabb010203");
	cmd(ext.path("wifi.agent"), CMD_STEER_EXCLUDE, "02:aa:00:00:00:02");
	cmd(ext.path("wifi.agent"), CMD_GET_BSS_INFO);
	EXPECT_EQ(disconnect(ext.path("wifix"), "wl0", "5c:aa:bb:01:02:03"), 0);

	auto cmds = host().journal().commands();
	ASSERT_EQ(cmds.size(), 3u);
	EXPECT_EQ(cmds[0].agent, "local");
	EXPECT_EQ(cmds[0].id, CMD_MONITOR_STA);
	EXPECT_EQ(cmds[0].data, "5caabb010203");
	EXPECT_EQ(cmds[0].payload, (std::vector<uint8_t>{0x5c, 0xaa, 0xbb, 1, 2, 3}));
	EXPECT_EQ(cmds[1].prefix, "192.168.1.2");
	EXPECT_EQ(cmds[1].data, "02:aa:00:00:00:02");
	EXPECT_FALSE(cmds[2].has_data);
	EXPECT_LE(cmds[0].t, cmds[2].t);
	auto d = host().journal().disconnects();
	ASSERT_EQ(d.size(), 1u);
	EXPECT_EQ(d[0].agent, "192.168.1.2");
	EXPECT_EQ(d[0].ifname, "wl0");
	EXPECT_EQ(d[0].sta, "5c:aa:bb:01:02:03");

	host().journal().clear();
	EXPECT_TRUE(host().journal().commands().empty());
	EXPECT_TRUE(host().journal().disconnects().empty());
}

TEST_F(AgentTest, RaisesStationEventsUnderItsPrefix)
{
	simtest::event_listener l;
	listen(&l, "wifi.sta");
	listen(&l, "192.168.1.2/*");
	sim::agent &router = host().add_agent(simtest::box_cfg("", 1));
	sim::agent &ext = host().add_agent(simtest::box_cfg("192.168.1.2", 2));
	router.raise_sta(mac("5c:aa:bb:01:02:03"), "associated", "wl0");
	ext.raise_sta(mac("5c:aa:bb:01:02:03"), "lowrssi", "wl0", -72);
	ext.raise_event("wifi.radio", "{\"radio\":\"wl0\"}");
	ASSERT_TRUE(pump_until([&] { return l.events.size() >= 3; }));
	EXPECT_EQ(l.events[0].first, "wifi.sta");
	EXPECT_EQ(l.events[0].second,
		  "{\"macaddr\":\"5c:aa:bb:01:02:03\",\"action\":\"associated\",\"vif\":\"wl0\"}");
	EXPECT_EQ(l.events[1].first, "192.168.1.2/wifi.sta");
	EXPECT_EQ(l.events[1].second, "{\"macaddr\":\"5c:aa:bb:01:02:03\",\"action\":\"lowrssi\","
				      "\"vif\":\"wl0\",\"lowrssi\":-72}");
	EXPECT_EQ(l.events[2].first, "192.168.1.2/wifi.radio");
	EXPECT_EQ(host().journal().events().size(), 3u);
}

TEST_F(AgentTest, VanishingRemovesEveryObjectAndReappearingAddsThemBack)
{
	simtest::event_listener l;
	listen(&l, "ubus.object.*");
	sim::agent_config cfg = simtest::box_cfg("192.168.1.2", 2);
	cfg.router_objects = true;
	sim::agent &a = host().add_agent(cfg);
	ASSERT_TRUE(pump_until([&] { return l.events.size() >= 5; }));
	// wifi.agent comes last so its companions exist when it is noticed.
	EXPECT_NE(l.events[4].second.find("\"path\":\"192.168.1.2/wifi.agent\""), std::string::npos);
	EXPECT_EQ(l.events[0].first, "ubus.object.add");
	uint32_t first_id = a.agent_id();
	EXPECT_NE(first_id, 0u);

	l.events.clear();
	a.vanish();
	EXPECT_FALSE(a.present());
	ASSERT_TRUE(pump_until([&] { return l.events.size() >= 5; }));
	for (const auto &e : l.events)
		EXPECT_EQ(e.first, "ubus.object.remove");
	EXPECT_EQ(cmd(a.path("wifi.agent"), CMD_SCAN).status, UBUS_STATUS_NOT_FOUND);

	l.events.clear();
	a.reappear();
	ASSERT_TRUE(pump_until([&] { return l.events.size() >= 5; }));
	EXPECT_EQ(l.events.back().first, "ubus.object.add");
	EXPECT_EQ(cmd(a.path("wifi.agent"), CMD_SCAN).status, 0);
	EXPECT_EQ(cmd(a.path("router.graph"), CMD_SCAN).status, UBUS_STATUS_METHOD_NOT_FOUND);
}

TEST_F(AgentTest, DisconnectDropsTheStationOnlyWhenStationsMove)
{
	simtest::event_listener l;
	listen(&l, "192.168.1.2/wifi.sta");
	sim::agent &a = host().add_agent(simtest::box_cfg("192.168.1.2", 2));
	sim::mac_addr sta = mac("5c:aa:bb:01:02:03");
	a.add_station("wl0", sta);

	EXPECT_EQ(disconnect(a.path("wifix"), "wl0", "5c:aa:bb:01:02:03"), 0);
	EXPECT_EQ(a.station_bss(sta), "wl0");

	host().set_mobile_stations(true);
	host().set_move_delay_ms(0);
	EXPECT_EQ(disconnect(a.path("wifix"), "wl0", "5c:aa:bb:01:02:03"), 0);
	EXPECT_EQ(a.station_bss(sta), "");
	ASSERT_TRUE(pump_until([&] { return !l.events.empty(); }));
	EXPECT_EQ(l.events[0].second, "{\"macaddr\":\"5c:aa:bb:01:02:03\",\"action\":"
				      "\"disassociated\",\"vif\":\"wl0\"}");
	EXPECT_EQ(host().journal().disconnects().size(), 2u);
}

TEST_F(AgentTest, SteeredStationMovesToTheAgentOwningTheTarget)
{
	simtest::event_listener l;
	listen(&l, "wifi.sta");
	listen(&l, "192.168.1.2/wifi.sta");
	sim::agent &router = host().add_agent(simtest::box_cfg("", 1, 2));
	sim::agent &ext = host().add_agent(simtest::box_cfg("192.168.1.2", 2));
	sim::mac_addr sta = mac("5c:aa:bb:01:02:03");
	ext.add_station("wl0", sta);
	std::vector<std::string> moves;
	host().on_station([&](sim::agent &ag, const sim::mac_addr &, const std::string &ifname,
			      bool joined) {
		moves.push_back(ag.name() + "/" + ifname + (joined ? " +" : " -"));
	});
	const char *steer = "5caabb010203" "00000001" "020000010101";

	cmd(ext.path("wifi.agent"), CMD_STEER, steer);
	EXPECT_EQ(ext.station_bss(sta), "wl0");

	host().set_mobile_stations(true);
	host().set_move_delay_ms(0);
	cmd(ext.path("wifi.agent"), CMD_STEER, steer);
	EXPECT_EQ(ext.station_bss(sta), "");
	EXPECT_EQ(router.station_bss(sta), "wl1");
	ASSERT_TRUE(pump_until([&] { return l.events.size() >= 2; }));
	EXPECT_EQ(l.events[0].first, "wifi.sta");
	EXPECT_NE(l.events[0].second.find("\"action\":\"associated\",\"vif\":\"wl1\""),
		  std::string::npos);
	EXPECT_EQ(l.events[1].first, "192.168.1.2/wifi.sta");
	EXPECT_NE(l.events[1].second.find("\"action\":\"disassociated\",\"vif\":\"wl0\""),
		  std::string::npos);
	host().run([] {}); // the hook ran on the host thread; read after it
	EXPECT_EQ(moves, (std::vector<std::string>{"192.168.1.2/wl0 -", "local/wl1 +"}));
}

TEST_F(AgentTest, TopologyTreeDescribesThePresentBoxes)
{
	sim::agent_config rc = simtest::box_cfg("", 1);
	sim::agent_config ec = simtest::box_cfg("192.168.1.2", 2);
	ec.node_type = "repeater";
	host().add_agent(rc);
	sim::agent &ext = host().add_agent(ec);
	sim::topology &t = host().add_topology();
	EXPECT_EQ(t.tree(), "{\"nodes\":[{\"mac\":\"02:aa:00:00:00:01\",\"ip\":\"192.168.1.1\","
			    "\"depth\":0,\"connection_type\":\"wireless\",\"node_type\":\"router\"},"
			    "{\"mac\":\"02:aa:00:00:00:02\",\"ip\":\"192.168.1.2\",\"depth\":1,"
			    "\"connection_type\":\"wireless\",\"node_type\":\"repeater\"}]}");
	ext.vanish();
	EXPECT_EQ(t.tree().find("192.168.1.2"), std::string::npos);
	t.set_tree("{\"nodes\":[{\"ip\":\"10.0.0.9\"}]}");
	EXPECT_EQ(call_json("topology", "tree"), "{\"nodes\":[{\"ip\":\"10.0.0.9\"}]}");

	simtest::event_listener l;
	listen(&l, "topology*");
	t.raise_event("topology", "{\"changed\":1}");
	ASSERT_TRUE(pump_until([&] { return !l.events.empty(); }));
	EXPECT_EQ(l.events[0].first, "topology");
	EXPECT_EQ(l.events[0].second, "{\"changed\":1}");
}

} // namespace
