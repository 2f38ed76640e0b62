// The mesh runner without the controller: the test client plays the
// controller's part, and the mesh's agents, radio model, account and
// expectations are checked.
#include <cstdio>

#include "sim/mesh.h"
#include "src/cmd.h"
#include "tests/sim/sim_fixture.h"

namespace {

const char *const two_boxes = R"({
  "lowrssi_threshold": -70,
  "boxes": [
    {"name": "router", "mac": "02:aa:00:00:00:01",
     "bss": [{"ifname": "wl0", "ssid": "home", "bssid": "02:00:00:01:00:00", "channel": 6},
             {"ifname": "wl1", "ssid": "home", "bssid": "02:00:00:01:00:01", "channel": 100}]},
    {"name": "ext1", "prefix": "192.168.1.2", "mac": "02:aa:00:00:00:02",
     "bss": [{"ifname": "wl1", "ssid": "home", "bssid": "02:00:00:02:00:01", "channel": 100}]}
  ],
  "stations": [
    {"name": "tablet", "mac": "5c:aa:bb:11:22:33", "at": "ext1/wl1",
     "signal": {"ext1/wl1": -60, "router/wl1": -66, "router/wl0": -80}}
  ],
  "timeline": [
    {"at": 0, "signal": {"sta": "tablet", "ext1/wl1": -74, "router/wl1": -56}}
  ],
  "expect": [
    {"steer": {"sta": "tablet", "box": "ext1", "to": "router/wl1"}},
    {"station_at": {"sta": "tablet", "bss": "router/wl1"}},
    {"disconnect": {"box": "ext1", "ifname": "wl1", "sta": "tablet"}},
    {"channel": {"box": "router", "value": 36}},
    {"commands": {"cmd": "GET_MONITOR_STA", "box": "router", "min": 1, "max": 1}},
    {"neighbors": {"box": "ext1", "exact": true}}
  ]
})";

class MeshTest : public simtest::SimFixture {
protected:
	void SetUp() override
	{
		SimFixture::SetUp();
		std::string err;
		ASSERT_TRUE(sim::parse_scenario(two_boxes, &s_, &err)) << err;
		out_ = tmpfile();
		ASSERT_NE(out_, nullptr);
		host().set_move_delay_ms(0);
		mesh_ = std::make_unique<sim::mesh>(host(), s_, out_, false);
		mesh_->build();
	}
	void TearDown() override
	{
		// The host's posted steps point into the mesh.
		host().stop();
		mesh_.reset();
		if (out_)
			fclose(out_);
		SimFixture::TearDown();
	}
	std::string account()
	{
		fflush(out_);
		rewind(out_);
		std::string text;
		char buf[512];
		size_t n;
		while ((n = fread(buf, 1, sizeof(buf), out_)) > 0)
			text.append(buf, n);
		return text;
	}

	sim::scenario s_;
	FILE *out_ = nullptr;
	std::unique_ptr<sim::mesh> mesh_;
};

TEST_F(MeshTest, WeakStationIsReportedAndMeasuredFromTheModel)
{
	simtest::event_listener l;
	listen(&l, "192.168.1.2/wifi.sta");
	mesh_->start_timeline();
	ASSERT_TRUE(pump_until([&] { return !l.events.empty(); }));
	EXPECT_EQ(l.events[0].second, "{\"macaddr\":\"5c:aa:bb:11:22:33\",\"action\":\"lowrssi\","
				      "\"vif\":\"wl1\",\"lowrssi\":-74}");
	ASSERT_TRUE(pump_until([&] { return mesh_->timeline_done(); }));
	simtest::call_result r = cmd("wifi.agent", CMD_GET_MONITOR_STA, "5caabb112233");
	ASSERT_EQ(r.msgs.size(), 1u);
	// -56 dBm on router/wl1, heard a second ago.
	EXPECT_EQ(r.msgs[0].resp, "5caabb112233" "020000010001" "c8" "000000" "00000001");
	r = cmd("192.168.1.2/wifi.agent", CMD_GET_MONITOR_STA, "5caabb000000");
	ASSERT_EQ(r.msgs.size(), 1u);
	EXPECT_EQ(r.msgs[0].resp.substr(24, 2), "00");
}

TEST_F(MeshTest, ExpectationsPassOrFailNamingWhatWasFound)
{
	std::vector<sim::verdict> v = mesh_->check("");
	ASSERT_EQ(v.size(), 6u);
	struct {
		const char *label;
		bool pass;
		const char *why;
	} before[] = {
		{"controller steered tablet to router/wl1", false, "0 matching STEER commands"},
		{"tablet ends on router/wl1", false, "it is on ext1/wl1"},
		{"controller dropped tablet from ext1/wl1", false,
		 "0 matching disconnect_sta calls of 0"},
		{"router channel set to 36", false, "no channel was ever set"},
		{"GET_MONITOR_STA to router 1 times", false, "0 received"},
		{"ext1 neighbor table is exactly the other present BSSes", false,
		 "missing router/wl0 router/wl1"},
	};
	for (size_t i = 0; i < v.size(); i++) {
		SCOPED_TRACE(before[i].label);
		EXPECT_EQ(v[i].label, before[i].label);
		EXPECT_EQ(v[i].pass, before[i].pass);
		EXPECT_EQ(v[i].why, before[i].why);
	}

	// What a controller would do.
	cmd("192.168.1.2/wifi.agent", CMD_STEER, "5caabb112233" "00000001" "020000010001");
	disconnect("192.168.1.2/wifix", "wl1", "5c:aa:bb:11:22:33");
	cmd("wifi.agent", CMD_GET_MONITOR_STA, "5caabb112233");
	cmd("wifi.agent", CMD_GET_MONITOR_STA, "5caabb112233");
	cmd("192.168.1.2/wifi.agent", CMD_ADD_NEIGHBOR, "000000000200000100000000000000" "06" "00");
	cmd("192.168.1.2/wifi.agent", CMD_ADD_NEIGHBOR, "000000000200000100010000000000" "64" "00");
	cmd("192.168.1.2/wifi.agent", CMD_ADD_NEIGHBOR, "000000000211111111110000000000" "64" "00");

	v = mesh_->check("");
	EXPECT_TRUE(v[0].pass);
	EXPECT_TRUE(v[1].pass) << v[1].why;
	EXPECT_TRUE(v[2].pass);
	EXPECT_FALSE(v[3].pass);
	EXPECT_FALSE(v[4].pass);
	EXPECT_EQ(v[4].why, "2 received");
	EXPECT_FALSE(v[5].pass);
	EXPECT_EQ(v[5].why, "stale 02:11:11:11:11:11");
}

// A time bound counts from the latest step naming the station before the
// call; a call with no such step does not count.
TEST_F(MeshTest, TimeBoundCountsFromTheStepThatNamedTheStation)
{
	sim::expectation &e = s_.expect[2]; // tablet dropped from ext1/wl1
	e.within = 5;
	disconnect("192.168.1.2/wifix", "wl1", "5c:aa:bb:11:22:33");
	sim::verdict v = mesh_->check("")[2];
	EXPECT_FALSE(v.pass);
	EXPECT_EQ(v.why, "no timeline step naming tablet before the call");

	mesh_->start_timeline();
	ASSERT_TRUE(pump_until([&] { return mesh_->timeline_done(); }));
	disconnect("192.168.1.2/wifix", "wl1", "5c:aa:bb:11:22:33");
	v = mesh_->check("")[2];
	EXPECT_TRUE(v.pass) << v.why;
	EXPECT_EQ(v.label.rfind("controller dropped tablet from ext1/wl1 (0.", 0), 0u) << v.label;
	EXPECT_EQ(v.label.substr(v.label.size() - 19), " s after its cause)");
	e.within = 1e-9;
	v = mesh_->check("")[2];
	EXPECT_FALSE(v.pass);
	EXPECT_EQ(v.why.rfind("the fastest came 0.", 0), 0u) << v.why;
}

TEST_F(MeshTest, AccountTellsTheSteeringInTheWordsOfTheField)
{
	mesh_->start_timeline();
	ASSERT_TRUE(pump_until([&] { return mesh_->timeline_done(); }));
	cmd("192.168.1.2/wifi.agent", CMD_STEER, "5caabb112233" "00000001" "020000010001");
	disconnect("192.168.1.2/wifix", "wl1", "5c:aa:bb:11:22:33");
	ASSERT_TRUE(pump_until([&] {
		return account().find("controller dropped tablet") != std::string::npos;
	}));
	std::string a = account();
	EXPECT_NE(a.find("tablet is weak on ext1/wl1 (-74 dBm): ext1 reports lowrssi"),
		  std::string::npos)
		<< a;
	EXPECT_NE(a.find("controller steered tablet 5c:aa:bb:11:22:33 from ext1/wl1 to router/wl1 "
			 "(-56 dBm vs -74 dBm)"),
		  std::string::npos)
		<< a;
	EXPECT_NE(a.find("controller dropped tablet 5c:aa:bb:11:22:33 from ext1/wl1"),
		  std::string::npos)
		<< a;
}

// Without a network namespace of its own the controller learns no box MAC:
// the checks that rest on those MACs are skipped, saying why; the others are
// judged as ever.
TEST_F(MeshTest, ChecksOnBoxMacsAreSkippedWhenTheControllerCannotLearnThem)
{
	const struct {
		sim::expect_kind kind;
		int cmd;
		const char *text;
		bool skipped;
	} cases[] = {
		{sim::expect_kind::exclude, 0, "", true},
		{sim::expect_kind::commands, CMD_STEER_EXCLUDE, "", true},
		{sim::expect_kind::log, 0, "Node '192.168.1.2' has MAC 02:aa:00:00:00:02", true},
		{sim::expect_kind::log, 0, "Node 192.168.1.2 answers again", false},
		{sim::expect_kind::commands, CMD_GET_BSS_INFO, "", false},
	};
	s_.expect.clear();
	for (const auto &c : cases) {
		sim::expectation e;
		e.kind = c.kind;
		e.box = "router";
		e.macs = {"ext1"};
		e.cmd = c.cmd;
		e.min = 1;
		e.text = c.text;
		e.label = c.text;
		s_.expect.push_back(e);
	}
	mesh_->set_no_arp("needs root");
	std::vector<sim::verdict> v = mesh_->check("");
	ASSERT_EQ(v.size(), std::size(cases));
	for (size_t i = 0; i < v.size(); i++) {
		SCOPED_TRACE(i);
		EXPECT_FALSE(v[i].pass);
		EXPECT_EQ(v[i].skipped, cases[i].skipped);
		EXPECT_EQ(v[i].why == "needs root", cases[i].skipped) << v[i].why;
	}
	EXPECT_EQ(sim::result_line(v), "result: FAIL (0 of 2 expectations hold, 3 skipped)\n");
	EXPECT_FALSE(sim::all_hold(v));
}

TEST_F(MeshTest, StationDroppedFromItsBssRejoinsTheStrongestOne)
{
	simtest::event_listener l;
	listen(&l, "wifi.sta");
	EXPECT_EQ(disconnect("192.168.1.2/wifix", "wl1", "5c:aa:bb:11:22:33"), 0);
	// Before the timeline: ext1/wl1 -60 is still its best BSS.
	ASSERT_TRUE(pump_until([&] { return mesh_->check("")[1].why == "it is on ext1/wl1"; },
			       std::chrono::seconds(5)));
	EXPECT_NE(account().find("tablet rejoins on ext1/wl1 (-60 dBm)"), std::string::npos);
}

} // namespace
