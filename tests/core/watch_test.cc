// Presence events, the watchlist and the radar recovery, against simulated
// agents on a private bus. Timers are fired by hand (disarmed first, as the
// loop does) and what they armed is read back.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bus/blobmsg.h"
#include "bus/ubus.h"
#include "sim/records.h"
#include "src/cmd.h"
#include "src/cntlr.h"
#include "src/cntlr_bss.h"
#include "src/cntlr_watch.h"
#include "tests/core/cntlr_fixture.h"
#include "tests/core/sta_util.h"

namespace {

using cntlrtest::CntlrFixture;
using cntlrtest::error;
using cntlrtest::info;
using cntlrtest::plain;
using cntlrtest::trace;

sim::mac_addr mac_of(const uint8_t *p)
{
	sim::mac_addr m;
	std::copy(p, p + 6, m.begin());
	return m;
}

// As the loop fires a timer: disarmed, then its callback.
void fire(struct uloop_timeout *t)
{
	uloop_timeout_cancel(t);
	t->cb(t);
}

void expect_remaining(struct uloop_timeout *t, int ms)
{
	int rem = uloop_timeout_remaining(t);
	EXPECT_GT(rem, ms - 1000);
	EXPECT_LE(rem, ms);
}

// A scan-result record: `ie_len` at 144, the radar element `radar_at` bytes
// into the elements (npos: none).
std::vector<uint8_t> scanres_record(uint32_t ie_len, size_t radar_at, size_t size = 1172)
{
	std::vector<uint8_t> rec(size, 0);
	rec[144] = ie_len >> 24;
	rec[145] = ie_len >> 16;
	rec[146] = ie_len >> 8;
	rec[147] = ie_len;
	if (radar_at != std::string::npos)
		std::copy(sim::radar_element.begin(), sim::radar_element.end(),
			  rec.begin() + 148 + radar_at);
	return rec;
}

// Hands `text` to the scan-result handler as the command channel does.
void deliver_scanres(struct watchnode *wn, const std::string &text)
{
	std::vector<char> buf(CMD_RESP_MAX, 0);
	memcpy(buf.data(), text.data(), std::min(text.size(), buf.size() - 1));
	watchnode_scanres_resp(wn->cntlr, buf.data(), (int)strlen(buf.data()) + 1, wn);
}

std::string set_param_hex(uint32_t channel)
{
	std::vector<uint8_t> rec(140, 0);
	memcpy(rec.data(), "channel", 7);
	auto put = [&](size_t at, uint32_t v) {
		for (int i = 0; i < 4; i++)
			rec[at + i] = (uint8_t)(v >> (24 - 8 * i));
	};
	put(128, 8);
	put(132, channel);
	put(136, 80);
	return sim::encode_hex(rec);
}

class Watch : public CntlrFixture {
protected:
	void SetUp() override
	{
		CntlrFixture::SetUp();
		if (HasFatalFailure())
			return;
		local_ = &add_agent("", 1);
		ext_ = &add_agent("192.168.1.2", 2);
		discover();
		settle();
		struct node *e = node_of("192.168.1.2");
		ASSERT_NE(e, nullptr);
		memcpy(e->macaddr, kExtMac.data(), 6);
		ASSERT_FALSE(list_empty(&e->fhbsslist));
		struct fhbss *f = list_first_entry(&e->fhbsslist, struct fhbss, list);
		ext_bssid_ = mac_of(f->bssid);
		ext_ssid_ = f->ssid;
	}

	// Stops the nodes' timers, reads every BSS list, empties journal and log.
	void settle()
	{
		struct node *n;

		cancel_node_timers();
		list_for_each_entry(n, &cntlr()->nodelist, list) {
			if (list_empty(&n->fhbsslist))
				cntlr_send_cmd(cntlr(), n->agent_id, CMD_GET_BSS_INFO, nullptr, 0,
					       update_fronthaul_bsslist, n);
		}
		journal().clear();
		clear_logs();
	}

	// What the extender's removal would put on the watchlist.
	struct watchnode *watch_ext()
	{
		return alloc_watchnode_init(cntlr(), node_of("192.168.1.2"), "192.168.1.2");
	}

	int watch_count()
	{
		struct watchnode *wn;
		int n = 0;
		list_for_each_entry(wn, &cntlr()->watchlist, list)
			n++;
		return n;
	}

	struct watchnode *first_watch()
	{
		if (list_empty(&cntlr()->watchlist))
			return nullptr;
		return list_first_entry(&cntlr()->watchlist, struct watchnode, list);
	}

	// An object event handed straight to the handler; `path` null: none.
	void event(const char *type, const char *path)
	{
		statest::EventMsg m;
		if (path)
			m.str("path", path);
		cntlr_meshlink_event_handler(cntlr()->ctx, &cntlr()->meshlink_ev, type, m.msg());
	}

	void set_radar(bool on)
	{
		sim::scan_result r;
		r.radar = on;
		local_->set_scan_result(ext_bssid_, r);
	}

	static uint32_t addr_word(const char *ip)
	{
		struct in_addr a;
		inet_aton(ip, &a);
		return a.s_addr;
	}

	const sim::mac_addr kExtMac = {0x02, 0xaa, 0, 0, 0, 0x02};
	sim::agent *local_ = nullptr;
	sim::agent *ext_ = nullptr;
	sim::mac_addr ext_bssid_{};
	std::string ext_ssid_;
};

TEST_F(Watch, NewWatchnodeRemembersTheBoxAndWaitsToScan)
{
	struct watchnode *wn = watch_ext();

	ASSERT_NE(wn, nullptr);
	EXPECT_EQ(first_watch(), wn);
	EXPECT_EQ(mac_of(wn->macaddr), kExtMac);
	EXPECT_EQ(wn->ipaddr.s_addr, addr_word("192.168.1.2"));
	EXPECT_EQ(mac_of(wn->bssid), ext_bssid_);
	EXPECT_EQ(std::string(wn->ssid), ext_ssid_);
	EXPECT_EQ(wn->scan_retries, 0u);
	expect_remaining(&wn->scan_timer, 15000);
	EXPECT_EQ(uloop_timeout_remaining(&wn->scanres_timer), -1);
	EXPECT_EQ(count_log(info("Alloc new watchnode for prefix '192.168.1.2'\n")), 1);
	EXPECT_EQ(count_log(trace("Add node (prefix '192.168.1.2') to watchlist\n")), 1);
}

TEST_F(Watch, LifeOfAWatchnodeRowByRow)
{
	enum class Fire { scan, scanres };
	enum class Then { scan, scanres, idle, released };
	using FK = sim::fault_kind;
	const struct {
		const char *state;
		bool lnode;
		Fire fire;
		FK fault;
		uint32_t retries;
		bool radar;
		Then then;
		int ms;
		uint32_t retries_after;
		int sent; // command reaching the local agent, 0: none
	} rows[] = {
		{"waiting to scan, no lnode", false, Fire::scan, FK::none, 0, false, Then::scan, 10000,
		 0, 0},
		{"waiting to scan, SCAN sent", true, Fire::scan, FK::none, 0, false, Then::scanres,
		 10000, 0, CMD_SCAN},
		{"waiting for result, no lnode", false, Fire::scanres, FK::none, 0, false,
		 Then::scanres, 20000, 0, 0},
		{"query failed, first", true, Fire::scanres, FK::error_status, 0, false, Then::scan,
		 20000, 1, CMD_GET_SCANRES},
		{"query failed, fourth", true, Fire::scanres, FK::error_status, 3, false, Then::scan,
		 20000, 4, CMD_GET_SCANRES},
		{"query failed, fifth", true, Fire::scanres, FK::error_status, 4, false, Then::idle, 0,
		 5, CMD_GET_SCANRES},
		{"query answered for another id", true, Fire::scanres, FK::wrong_id, 0, false,
		 Then::idle, 0, 0, CMD_GET_SCANRES},
		{"result without radar, first", true, Fire::scanres, FK::none, 0, false, Then::scan,
		 30000, 1, CMD_GET_SCANRES},
		{"reply without cmd_resp", true, Fire::scanres, FK::no_cmd_resp, 0, false, Then::scan,
		 30000, 1, CMD_GET_SCANRES},
		{"radar element, lnode present", true, Fire::scanres, FK::none, 0, true,
		 Then::released, 0, 0, CMD_GET_SCANRES},
	};
	struct node *lnode = cntlr()->lnode;
	ASSERT_NE(lnode, nullptr);

	for (const auto &r : rows) {
		SCOPED_TRACE(r.state);
		set_radar(r.radar);
		if (r.fault != FK::none)
			local_->set_fault({r.fault, -1, ""}, CMD_GET_SCANRES);
		struct watchnode *wn = watch_ext();
		ASSERT_NE(wn, nullptr);
		uloop_timeout_cancel(&wn->scan_timer);
		wn->scan_retries = r.retries;
		cntlr()->lnode = r.lnode ? lnode : nullptr;
		journal().clear();

		fire(r.fire == Fire::scan ? &wn->scan_timer : &wn->scanres_timer);

		cntlr()->lnode = lnode;
		auto cmds = journal().commands();
		if (r.sent) {
			ASSERT_GE(cmds.size(), 1u);
			EXPECT_EQ(cmds[0].id, r.sent);
			EXPECT_EQ(cmds[0].agent, "local");
		} else {
			EXPECT_TRUE(cmds.empty());
		}
		if (r.then == Then::released) {
			EXPECT_EQ(watch_count(), 0);
		} else {
			ASSERT_EQ(first_watch(), wn);
			EXPECT_EQ(wn->scan_retries, r.retries_after);
			struct uloop_timeout *armed = r.then == Then::scan      ? &wn->scan_timer
						      : r.then == Then::scanres ? &wn->scanres_timer
										: nullptr;
			for (struct uloop_timeout *t : {&wn->scan_timer, &wn->scanres_timer}) {
				if (t == armed)
					expect_remaining(t, r.ms);
				else
					EXPECT_EQ(uloop_timeout_remaining(t), -1);
			}
			free_watchnode_cleanup(cntlr(), wn);
		}
		local_->clear_faults();
	}
}

TEST_F(Watch, ScanAsksTheLocalAgentForTheSsid)
{
	struct watchnode *wn = watch_ext();

	fire(&wn->scan_timer);

	auto scans = journal().commands(CMD_SCAN);
	ASSERT_EQ(scans.size(), 1u);
	EXPECT_EQ(scans[0].agent, "local");
	EXPECT_EQ(scans[0].data.size(), 96u);
	std::vector<uint8_t> want(48, 0);
	memcpy(want.data(), ext_ssid_.data(), ext_ssid_.size());
	EXPECT_EQ(scans[0].payload, want);

	fire(&wn->scanres_timer);

	auto q = journal().commands(CMD_GET_SCANRES);
	ASSERT_EQ(q.size(), 1u);
	EXPECT_EQ(q[0].data, sim::encode_hex({ext_bssid_.begin(), ext_bssid_.end()}));
}

TEST_F(Watch, SixResultsWithoutRadarReleaseTheWatchnodeFiveDoNot)
{
	set_radar(false);
	struct watchnode *wn = watch_ext();

	for (uint32_t i = 1; i <= 6; i++) {
		SCOPED_TRACE(i);
		fire(&wn->scan_timer);
		expect_remaining(&wn->scanres_timer, 10000);
		fire(&wn->scanres_timer);
		if (i == 6)
			break;
		ASSERT_EQ(first_watch(), wn);
		EXPECT_EQ(wn->scan_retries, i);
		expect_remaining(&wn->scan_timer, 30000);
	}
	EXPECT_EQ(watch_count(), 0);
	EXPECT_EQ(journal().count(CMD_SCAN, "local"), 6u);
	EXPECT_EQ(journal().count(CMD_GET_SCANRES, "local"), 6u);
	EXPECT_EQ(count_log(trace("radar ie not present\n")), 6);
	EXPECT_EQ(journal().count(CMD_SET_PARAM), 0u);
}

TEST_F(Watch, RadarWithoutLocalNodeRetriesQuery)
{
	struct node *lnode = cntlr()->lnode;
	struct watchnode *wn = watch_ext();
	uloop_timeout_cancel(&wn->scan_timer);
	cntlr()->lnode = nullptr;

	deliver_scanres(wn, sim::encode_hex(scanres_record(13, 0)));

	EXPECT_EQ(count_log(info("Node 02:aa:00:00:00:02 has detected radar\n")), 1);
	ASSERT_EQ(first_watch(), wn);
	expect_remaining(&wn->scanres_timer, 10000);
	EXPECT_EQ(uloop_timeout_remaining(&wn->scan_timer), -1);
	EXPECT_EQ(uloop_timeout_remaining(&cntlr()->channel_timer), -1);
	EXPECT_EQ(journal().count(CMD_SET_PARAM), 0u);

	// Once the local node is back, the repeated query acts on the finding.
	cntlr()->lnode = lnode;
	set_radar(true);
	fire(&wn->scanres_timer);

	EXPECT_EQ(watch_count(), 0);
	EXPECT_EQ(local_->param_channel(), 36);
	expect_remaining(&cntlr()->channel_timer, 3600000);
}

TEST_F(Watch, RadarIsSearchedOnlyWithinTheStatedLengthAndTheRecord)
{
	const size_t none = std::string::npos;
	auto hex = [](const std::vector<uint8_t> &rec) { return sim::encode_hex(rec); };
	std::string upper = hex(scanres_record(100, 30));
	for (auto &ch : upper)
		ch = (char)toupper((unsigned char)ch);
	std::string broken = hex(scanres_record(100, 50));
	broken.replace(2 * (148 + 10), 2, "zz");
	const struct {
		const char *name;
		std::string text;
		bool found;
	} cases[] = {
		{"at the start", hex(scanres_record(9, 0)), true},
		{"ending at the stated length", hex(scanres_record(100, 91)), true},
		{"one byte past the stated length", hex(scanres_record(100, 92)), false},
		{"beyond the stated length", hex(scanres_record(20, 40)), false},
		{"zero length", hex(scanres_record(0, 0)), false},
		{"no element", hex(scanres_record(1024, none)), false},
		{"length above 1024, ending at the record's end",
		 hex(scanres_record(0xffffffff, 1015)), true},
		{"length above 1024, crossing the record's end",
		 hex(scanres_record(0xffffffff, 1016, 1300)), false},
		{"text longer than the record, element past it", hex(scanres_record(2000, 1100, 1300)),
		 false},
		{"text ends before the element", hex(scanres_record(100, 50)).substr(0, 2 * (148 + 50)),
		 false},
		{"non-hex pair before the element", broken, false},
		{"upper-case hex", upper, true},
	};
	cntlr()->lnode = nullptr;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		clear_logs();
		struct watchnode *wn = watch_ext();
		uloop_timeout_cancel(&wn->scan_timer);

		deliver_scanres(wn, c.text);

		EXPECT_EQ(count_log("has detected radar"), c.found ? 1 : 0);
		EXPECT_EQ(count_log(trace("radar ie not present\n")), c.found ? 0 : 1);
		expect_remaining(c.found ? &wn->scanres_timer : &wn->scan_timer,
				 c.found ? 10000 : 30000);
		free_watchnode_cleanup(cntlr(), wn);
	}
}

// An agent object that answers every command with `replies` copies of one
// response text and then ends the call with `status` (by default a failure),
// on the host's connection.
class FailingAgent {
public:
	FailingAgent(sim::host &h, std::string resp, int replies = 1,
		     int status = UBUS_STATUS_UNKNOWN_ERROR)
	    : h_(h), resp_(std::move(resp)), replies_(replies), status_(status)
	{
		method_ = UBUS_METHOD_NOARG("cmd", handle);
		type_ = {"test.failing_agent", 0, &method_, 1};
		obj_.name = "test/failing_agent";
		obj_.type = &type_;
		obj_.methods = &method_;
		obj_.n_methods = 1;
		obj_.priv = this;
		h_.run([this] { ok_ = ubus_add_object(h_.ctx(), &obj_) == 0; });
	}
	~FailingAgent()
	{
		h_.run([this] {
			if (ok_)
				ubus_remove_object(h_.ctx(), &obj_);
		});
	}
	bool ok() const { return ok_; }
	uint32_t id() const { return obj_.id; }

private:
	static int handle(struct ubus_context *ctx, struct ubus_object *obj,
			  struct ubus_request_data *req, const char *, struct blob_attr *msg)
	{
		static const struct blobmsg_policy pol[] = {{"id", BLOBMSG_TYPE_INT32}};
		struct blob_attr *tb[1] = {};
		struct blob_buf b = {};
		FailingAgent *self = static_cast<FailingAgent *>(obj->priv);

		blobmsg_parse(pol, 1, tb, blob_data(msg), (unsigned int)blob_len(msg));
		blob_buf_init(&b, 0);
		if (tb[0])
			blobmsg_add_u32(&b, "id", blobmsg_get_u32(tb[0]));
		blobmsg_add_string(&b, "cmd_resp", self->resp_.c_str());
		for (int i = 0; i < self->replies_; i++)
			ubus_send_reply(ctx, req, b.head);
		blob_buf_free(&b);
		return self->status_;
	}

	sim::host &h_;
	std::string resp_;
	int replies_;
	int status_;
	struct ubus_method method_ {};
	struct ubus_object_type type_ {};
	struct ubus_object obj_ {};
	bool ok_ = false;
};

TEST_F(Watch, ResultDeliveredBeforeAFailedCallIsNotCountedAgainstAReleasedWatchnode)
{
	FailingAgent radar(host(), sim::encode_hex(scanres_record(13, 0)));
	ASSERT_TRUE(radar.ok());
	cntlr()->lnode->agent_id = radar.id();
	struct watchnode *wn = watch_ext();
	uloop_timeout_cancel(&wn->scan_timer);

	// The reply releases the watchnode inside the send, which then fails.
	fire(&wn->scanres_timer);

	EXPECT_EQ(watch_count(), 0);
	EXPECT_EQ(count_log("has detected radar"), 1);
	EXPECT_EQ(count_log("Will retry-"), 0);
	EXPECT_EQ(count_log("CMD GET_SCANRES failed"), 1);
	// The agent fails SET_PARAM too: no hold begins, the move waits.
	EXPECT_EQ(uloop_timeout_remaining(&cntlr()->channel_timer), -1);
	EXPECT_EQ(cntlr()->channel_pending, CHANNEL_MOVE);
}

TEST_F(Watch, ResultWithoutRadarBeforeAFailedCallCountsTwice)
{
	FailingAgent quiet(host(), sim::encode_hex(scanres_record(13, std::string::npos)));
	ASSERT_TRUE(quiet.ok());
	cntlr()->lnode->agent_id = quiet.id();
	struct watchnode *wn = watch_ext();
	uloop_timeout_cancel(&wn->scan_timer);

	fire(&wn->scanres_timer);

	// Once for the result, once for the failed call; the failure's
	// shorter rescan wins.
	ASSERT_EQ(first_watch(), wn);
	EXPECT_EQ(wn->scan_retries, 2u);
	EXPECT_EQ(count_log(trace("Will retry-2 watchnode scan\n")), 1);
	expect_remaining(&wn->scan_timer, 20000);
	EXPECT_EQ(uloop_timeout_remaining(&wn->scanres_timer), -1);
}

// Regression: a second reply to the same query reached the watchnode that
// the first one had released.
TEST_F(Watch, RepliesAfterTheOneThatReleasedTheWatchnodeAreIgnored)
{
	const struct {
		const char *name;
		size_t radar_at;
		int replies;
		int status;
		int radar_logs;
		int absent_logs;
	} cases[] = {
		{"radar twice, call ok", 0, 2, UBUS_STATUS_OK, 1, 0},
		{"radar twice, call failed", 0, 2, UBUS_STATUS_UNKNOWN_ERROR, 1, 0},
		{"eight results without radar", std::string::npos, 8, UBUS_STATUS_OK, 0, 6},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		FailingAgent agent(host(), sim::encode_hex(scanres_record(13, c.radar_at)), c.replies,
				   c.status);
		ASSERT_TRUE(agent.ok());
		cntlr()->lnode->agent_id = agent.id();
		struct watchnode *wn = watch_ext();
		uloop_timeout_cancel(&wn->scan_timer);
		clear_logs();

		fire(&wn->scanres_timer);

		EXPECT_EQ(watch_count(), 0);
		EXPECT_EQ(count_log("has detected radar"), c.radar_logs);
		EXPECT_EQ(count_log(trace("radar ie not present\n")), c.absent_logs);
		EXPECT_EQ(count_log("Will retry-"), 0);
		uloop_timeout_cancel(&cntlr()->channel_timer);
	}
}

TEST_F(Watch, ChannelGoesBackToZeroAnHourAfterRadar)
{
	set_radar(true);
	struct watchnode *wn = watch_ext();
	uloop_timeout_cancel(&wn->scan_timer);

	fire(&wn->scanres_timer);

	EXPECT_EQ(watch_count(), 0);
	EXPECT_EQ(local_->param_channel(), 36);
	expect_remaining(&cntlr()->channel_timer, 3600000);
	EXPECT_EQ(count_log(plain("cmd_set_param: " + set_param_hex(36) + "\n")), 1);

	fire(&cntlr()->channel_timer);

	EXPECT_EQ(local_->param_channel(), 0);
	EXPECT_EQ(uloop_timeout_remaining(&cntlr()->channel_timer), -1);
	EXPECT_EQ(journal().count(CMD_SET_PARAM, "local"), 2u);
}

TEST_F(Watch, ChannelRestoreWaitsForALocalNode)
{
	struct node *lnode = cntlr()->lnode;
	cntlr()->lnode = nullptr;

	for (int i = 0; i < 2; i++) {
		fire(&cntlr()->channel_timer);
		expect_remaining(&cntlr()->channel_timer, 15000);
	}
	EXPECT_EQ(journal().count(CMD_SET_PARAM), 0u);

	cntlr()->lnode = lnode;
	fire(&cntlr()->channel_timer);

	EXPECT_EQ(local_->param_channel(), 0);
	EXPECT_EQ(uloop_timeout_remaining(&cntlr()->channel_timer), -1);
}

TEST_F(Watch, SecondRadarWithinTheHourRestartsIt)
{
	set_radar(true);
	uloop_timeout_set(&cntlr()->channel_timer, 1000);
	struct watchnode *wn = watch_ext();
	uloop_timeout_cancel(&wn->scan_timer);

	fire(&wn->scanres_timer);

	expect_remaining(&cntlr()->channel_timer, 3600000);
	EXPECT_EQ(local_->param_channel(), 36);
}

TEST_F(Watch, SetParamSendsTheChannelRecordAndAlwaysSucceeds)
{
	for (bool failing : {false, true}) {
		SCOPED_TRACE(failing);
		journal().clear();
		clear_logs();
		if (failing)
			local_->set_fault({sim::fault_kind::error_status, -1, ""}, CMD_SET_PARAM);

		EXPECT_EQ(cmd_set_param(cntlr(), cntlr()->lnode->agent_id, failing ? 0 : 36), 0);

		auto sent = journal().commands(CMD_SET_PARAM, "local");
		ASSERT_EQ(sent.size(), 1u);
		EXPECT_EQ(sent[0].data, set_param_hex(failing ? 0 : 36));
		EXPECT_EQ(count_log(plain("cmd_set_param: " + set_param_hex(failing ? 0 : 36) + "\n")),
			  1);
	}
}

class Presence : public Watch {
protected:
	// The extender leaves the bus; returns once the controller has handled
	// the removal of its agent object.
	void vanish_ext()
	{
		cntlr_register_handlers(cntlr());
		clear_logs();
		journal().clear();
		ext_->vanish();
		ASSERT_TRUE(pump_until([&] {
			return watch_count() == 1 && journal().count(CMD_GET_BSS_INFO, "local") == 1;
		}));
	}
};

TEST_F(Presence, RemovedExtenderIsWatchedAndItsNodeReleased)
{
	add_agent("192.168.1.3", 1);
	scan();
	settle();
	struct node *other = node_of("192.168.1.3");
	ASSERT_NE(other, nullptr);
	const uint8_t other_mac[6] = {0x02, 0xaa, 0, 0, 0, 0x03};
	memcpy(other->macaddr, other_mac, 6);
	int before = cntlr()->num_nodes;

	vanish_ext();

	struct watchnode *wn = first_watch();
	EXPECT_EQ(wn->ipaddr.s_addr, addr_word("192.168.1.2"));
	EXPECT_EQ(mac_of(wn->macaddr), kExtMac);
	EXPECT_EQ(mac_of(wn->bssid), ext_bssid_);
	EXPECT_EQ(std::string(wn->ssid), ext_ssid_);
	expect_remaining(&wn->scan_timer, 15000);
	EXPECT_EQ(node_of("192.168.1.2"), nullptr);
	EXPECT_EQ(cntlr()->num_nodes, before - 1);
	EXPECT_EQ(node_count(), before - 1);

	// Withdrawal from the local agent, exclusion, rescans, BSS lists.
	std::vector<std::pair<int, std::string>> seq;
	for (const auto &r : journal().commands())
		seq.emplace_back(r.id, r.agent);
	std::vector<std::pair<int, std::string>> want = {
		{CMD_DEL_NEIGHBOR, "local"}, {CMD_DEL_NEIGHBOR, "local"}};
	struct node *n;
	list_for_each_entry(n, &cntlr()->nodelist, list)
		want.emplace_back(CMD_STEER_EXCLUDE, n->is_local ? "local" : "192.168.1.3");
	want.emplace_back(CMD_SCAN, "192.168.1.3");
	list_for_each_entry(n, &cntlr()->nodelist, list)
		want.emplace_back(CMD_GET_BSS_INFO, n->is_local ? "local" : "192.168.1.3");
	EXPECT_EQ(seq, want);
	auto scans = journal().commands(CMD_SCAN);
	ASSERT_EQ(scans.size(), 1u);
	EXPECT_FALSE(scans[0].has_data);

	EXPECT_EQ(count_log(info("To del: 192.168.1.2/wifi.agent\n")), 1);
	EXPECT_EQ(count_log(info("Node '192.168.1.2' disappeared from network\n")), 1);
	EXPECT_EQ(count_log(info("List: " + std::to_string(addr_word("192.168.1.2")) +
				 "     Find: " + std::to_string(addr_word("192.168.1.2")) + "\n")),
		  1);
	EXPECT_EQ(count_log("not found in nodelist"), 0);
}

TEST_F(Presence, ReappearanceReleasesTheWatchnodeAndMakesANewNode)
{
	vanish_ext();
	clear_logs();
	journal().clear();

	ext_->reappear();
	ASSERT_TRUE(pump_until([&] {
		return node_of("192.168.1.2") && journal().count(CMD_GET_BSS_INFO, "192.168.1.2") == 1;
	}));

	EXPECT_EQ(watch_count(), 0);
	EXPECT_FALSE(list_empty(&node_of("192.168.1.2")->fhbsslist));
	const std::string word = std::to_string(addr_word("192.168.1.2"));
	EXPECT_EQ(count_log(info("To add: 192.168.1.2/wifi.agent\n")), 1);
	EXPECT_EQ(count_log(info("deleting node '192.168.1.2' from watchlist\n")), 1);
	EXPECT_EQ(count_log(trace("Watchlist: " + word + "     Find: " + word + "\n")), 1);
}

TEST_F(Presence, RemovedNodeWithoutBssIsReleasedUnwatched)
{
	add_agent("192.168.1.3", 1);
	scan(); // its BSS list is never read
	cancel_node_timers();
	clear_logs();
	ASSERT_NE(node_of("192.168.1.3"), nullptr);

	event("ubus.object.remove", "192.168.1.3/wifi.agent");

	EXPECT_EQ(watch_count(), 0);
	EXPECT_EQ(node_of("192.168.1.3"), nullptr);
	EXPECT_EQ(count_log(trace("fhbss for node 00:00:00:00:00:00 not present\n")), 1);
}

TEST_F(Presence, ObjectsOtherThanAgentsAreIgnored)
{
	const struct {
		const char *type;
		const char *path;
	} cases[] = {
		{"ubus.object.add", "192.168.1.2/wifix"},
		{"ubus.object.remove", "192.168.1.2/wifix"},
		{"ubus.object.add", nullptr},
		{"ubus.object.remove", nullptr},
	};
	int nodes = node_count();
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.type) + " " + (c.path ? c.path : "(no path)"));
		event(c.type, c.path);
		EXPECT_EQ(logs(), "");
		EXPECT_TRUE(journal().commands().empty());
		EXPECT_EQ(node_count(), nodes);
	}
}

TEST_F(Presence, InvalidPrefixSkipsTheWatchButNotTheRefresh)
{
	const struct {
		const char *type;
		const char *first;
	} cases[] = {
		{"ubus.object.add", "To add: abc/wifi.agent\n"},
		{"ubus.object.remove", "To del: abc/wifi.agent\n"},
	};
	struct watchnode *wn = watch_ext();
	int nodes = node_count();
	for (const auto &c : cases) {
		SCOPED_TRACE(c.type);
		clear_logs();
		journal().clear();

		event(c.type, "abc/wifi.agent");

		EXPECT_EQ(count_log(info(c.first)), 1);
		EXPECT_EQ(count_log(error("Invalid meshlink prefix: abc\n")), 2);
		EXPECT_EQ(node_count(), nodes);
		EXPECT_EQ(first_watch(), wn);
		EXPECT_EQ(watch_count(), 1);
		EXPECT_EQ(journal().count(CMD_SCAN, "192.168.1.2"), 1u);
		EXPECT_EQ(journal().count(CMD_GET_BSS_INFO), 2u);
	}
}

TEST_F(Presence, LocalAgentIsNeverWatchedNorRemoved)
{
	struct node *lnode = cntlr()->lnode;
	struct watchnode *wn = watch_ext();
	int nodes = node_count();
	const struct {
		const char *type;
		const char *path;
		std::vector<std::string> lines;
	} cases[] = {
		{"ubus.object.remove", "wifi.agent",
		 {info("To del: local/wifi.agent\n"),
		  trace("node '' not found. watchlist add failed!\n"),
		  info("Node '' disappeared from network\n"), error("Invalid meshlink prefix: \n")}},
		{"ubus.object.remove", "0.0.0.0/wifi.agent",
		 {info("To del: 0.0.0.0/wifi.agent\n"),
		  trace("node '0.0.0.0' not found. watchlist add failed!\n"),
		  info("Node '0.0.0.0' not found in nodelist!\n")}},
		{"ubus.object.add", "wifi.agent",
		 {info("To add: local/wifi.agent\n"), info("deleting node '' from watchlist\n")}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.type) + " " + c.path);
		clear_logs();
		journal().clear();

		event(c.type, c.path);

		EXPECT_EQ(cntlr()->lnode, lnode);
		EXPECT_EQ(node_of(""), lnode);
		EXPECT_EQ(node_count(), nodes);
		EXPECT_EQ(first_watch(), wn);
		EXPECT_EQ(watch_count(), 1);
		for (const auto &l : c.lines)
			EXPECT_EQ(count_log(l), 1) << l;
		EXPECT_EQ(count_log("Watchlist: "), 0);
		EXPECT_EQ(count_log("Alloc new watchnode"), 0);
		EXPECT_EQ(journal().count(CMD_GET_BSS_INFO), 2u);
	}
}

TEST_F(Presence, BoxReFoundByRescanIsNotWatchedTwice)
{
	event("ubus.object.remove", "192.168.1.2/wifi.agent");
	ASSERT_EQ(watch_count(), 1);
	ASSERT_EQ(node_of("192.168.1.2"), nullptr);
	scan(); // its objects never left the bus
	settle();
	ASSERT_NE(node_of("192.168.1.2"), nullptr);

	event("ubus.object.remove", "192.168.1.2/wifi.agent");

	EXPECT_EQ(count_log(trace("Alert! '192.168.1.2' already in watchlist\n")), 1);
	EXPECT_EQ(watch_count(), 1);
	EXPECT_EQ(node_of("192.168.1.2"), nullptr);
}

TEST_F(Presence, LocalStationEventsReachStationTracking)
{
	const sim::mac_addr sta = {0x5c, 0xaa, 0xbb, 0x01, 0x02, 0x03};
	cntlr_register_handlers(cntlr());

	local_->associate("wl0", sta);

	ASSERT_TRUE(pump_until([&] { return as_lookup(cntlr()->as_table, sta.data()) != nullptr; }));
	EXPECT_EQ(mac_of(as_lookup(cntlr()->as_table, sta.data())->bssid),
		  local_->config().bsses[0].bssid);
	EXPECT_EQ(journal().count(CMD_MONITOR_STA, "192.168.1.2"), 1u);
}

TEST_F(Presence, StationEventWithoutLocalNodeAndOtherEventsChangeNothing)
{
	const sim::mac_addr sta = {0x5c, 0xaa, 0xbb, 0x01, 0x02, 0x03};
	struct node *lnode = cntlr()->lnode;
	statest::EventMsg assoc;
	assoc.str("macaddr", sim::mac_text(sta)).str("action", "associated").str("vif", "wl0");
	const struct {
		const char *type;
		bool lnode;
		std::string log;
	} cases[] = {
		{"wifi.sta", false, ""},
		{"wifi.radio", true, trace("Unhandled event: 'wifi.radio'\n")},
		{"ubus.object.modify", true, trace("Unhandled event: 'ubus.object.modify'\n")},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.type);
		clear_logs();
		cntlr()->lnode = c.lnode ? lnode : nullptr;

		cntlr_meshlink_event_handler(cntlr()->ctx, &cntlr()->meshlink_ev, c.type,
					     assoc.msg());

		cntlr()->lnode = lnode;
		EXPECT_EQ(logs(), c.log);
		EXPECT_EQ(as_lookup(cntlr()->as_table, sta.data()), nullptr);
		EXPECT_TRUE(journal().commands().empty());
	}
}

} // namespace
