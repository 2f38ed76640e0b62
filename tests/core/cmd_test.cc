#include "src/cmd.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bus/ubus.h"
#include "tests/core/cntlr_fixture.h"

namespace {

using cntlrtest::cmd;
using cntlrtest::error;
using cntlrtest::error2;
using cntlrtest::trace;
using cntlrtest::unclosed;

// What a response callback was handed.
struct resp_rec {
	int calls = 0;
	struct cntlr *c = nullptr;
	void *priv = nullptr;
	int len = -1;
	std::vector<char> buf;
};

void record_resp(struct cntlr *c, char *resp, int len, void *priv)
{
	auto *r = static_cast<resp_rec *>(priv);

	r->calls++;
	r->c = c;
	r->priv = priv;
	r->len = len;
	r->buf.assign(resp, resp + CMD_RESP_MAX);
}

std::string ptr_text(const void *p)
{
	char buf[32];

	snprintf(buf, sizeof(buf), "%p", p);
	return buf;
}

TEST(CmdName, OnlyIdsOneToEighteenHaveNames)
{
	const struct {
		int id;
		const char *name;
	} cases[] = {
		{-1, "Undefined"}, {0, "Undefined"}, {1, "SCAN"},
		{18, "GET_OUI"},   {19, "Undefined"},
	};

	for (const auto &tc : cases) {
		SCOPED_TRACE(tc.id);
		EXPECT_STREQ(cmd_name(tc.id), tc.name);
	}
}

class CmdChannel : public cntlrtest::CntlrFixture {
protected:
	void SetUp() override
	{
		CntlrFixture::SetUp();
		if (HasFatalFailure())
			return;
		sim::agent_config cfg = cntlrtest::agent_cfg("", 1);

		cfg.mobility_domain = {0xa1, 0xb2};
		agent_ = &add_agent(cfg);
	}

	int send(int id, const char *data = nullptr, resp_rec *rec = nullptr)
	{
		return cntlr_send_cmd(cntlr(), agent_->agent_id(), id, data,
				      data ? (int)strlen(data) + 1 : 0, rec ? record_resp : nullptr,
				      rec);
	}

	sim::agent *agent_ = nullptr;
};

TEST_F(CmdChannel, IdsOutsideTheTableAreRefusedWithoutABusCall)
{
	for (int id : {0, 19, -3}) {
		SCOPED_TRACE(id);
		resp_rec rec;

		clear_logs();
		EXPECT_EQ(send(id, nullptr, &rec), -1);
		EXPECT_EQ(rec.calls, 0);
		EXPECT_EQ(count_log(unclosed(cmd("Sending CMD Undefined  (&cmd = "))), 1);
		EXPECT_EQ(count_log(error("Cntlr: Unknown CMD '" + std::to_string(id) + "'\n")), 1);
	}

	// Commands are synchronous: had any of the above gone out, the
	// agent would have recorded it before this one.
	ASSERT_EQ(send(CMD_SCAN), 0);
	auto cmds = journal().commands();
	ASSERT_EQ(cmds.size(), 1u);
	EXPECT_EQ(cmds[0].id, CMD_SCAN);
}

TEST_F(CmdChannel, SendTraceNamesTheCommandAndTheAgent)
{
	ASSERT_EQ(send(CMD_GET_MOBID), 0);

	const std::string head = unclosed(cmd("Sending CMD GET_MOBID  (&cmd = "));
	std::string agent = ptr_text((void *)(uintptr_t)agent_->agent_id());
	std::string all = logs();
	size_t at = all.find(head);
	ASSERT_NE(at, std::string::npos) << all;
	size_t comma = all.find(",", at);
	std::string record = all.substr(at + head.size(), comma - at - head.size());
	size_t end = all.find("\n", at);
	std::string line = all.substr(at, end - at + 1);
	EXPECT_NE(line.find(",  agent = " + agent + ") --->\n"), std::string::npos) << line;
	// Both traces name the same record, so a reply can be told to its
	// command.
	EXPECT_EQ(count_log(trace("CMD_Resphandler::: (&cmd = " + record + " , CMD = GET_MOBID)\n")),
		  1)
		<< all;
}

TEST_F(CmdChannel, PayloadTravelsOnlyWhenGiven)
{
	const struct {
		const char *data;
		bool has_data;
	} cases[] = {
		{nullptr, false},
		{"", true},
		{"00aabb", true},
	};

	for (const auto &tc : cases) {
		SCOPED_TRACE(tc.data ? tc.data : "(null)");
		journal().clear();
		ASSERT_EQ(send(CMD_SCAN, tc.data), 0);
		auto cmds = journal().commands(CMD_SCAN);
		ASSERT_EQ(cmds.size(), 1u);
		EXPECT_EQ(cmds[0].has_data, tc.has_data);
		if (tc.data) {
			EXPECT_EQ(cmds[0].data, tc.data);
		}
	}
}

TEST_F(CmdChannel, ReplyReachesTheCallbackWithItsContext)
{
	resp_rec rec;

	ASSERT_EQ(send(CMD_GET_BSS_INFO, nullptr, &rec), 0);
	ASSERT_EQ(rec.calls, 1);
	EXPECT_EQ(rec.c, cntlr());
	EXPECT_EQ(rec.priv, &rec);

	std::string text(rec.buf.data());
	EXPECT_GT(text.size(), 0u);
	EXPECT_EQ(rec.len, (int)text.size() + 1);
	EXPECT_EQ(count_log(unclosed(trace("CMD_Resphandler::: (&cmd = "))), 1);
	EXPECT_EQ(count_log(" , CMD = GET_BSS_INFO)\n" + std::string("\033[0m")), 1);
}

TEST_F(CmdChannel, ReplyShapesDecideWhatTheCallbackSees)
{
	const std::string full(3071, 'a');
	const std::string oversized(5000, 'b');
	// Faults made by a function: GCC 12 at -O3 takes nested braces of a
	// record holding a string for possibly uninitialised.
	auto fault = [](sim::fault_kind kind, const std::string &raw) {
		sim::fault f;
		f.kind = kind;
		f.raw = raw;
		return f;
	};
	const struct {
		const char *what;
		sim::fault f;
		int len;
		std::string text;
	} cases[] = {
		{"plain reply", fault(sim::fault_kind::none, ""), 5, "a1b2"},
		{"no id", fault(sim::fault_kind::no_id, ""), 5, "a1b2"},
		{"no cmd_resp", fault(sim::fault_kind::no_cmd_resp, ""), 0, ""},
		{"empty cmd_resp", fault(sim::fault_kind::raw_resp, ""), 1, ""},
		{"3071 characters", fault(sim::fault_kind::raw_resp, full), 3072, full},
		{"oversized", fault(sim::fault_kind::raw_resp, oversized), 3072,
		 oversized.substr(0, 3071)},
	};

	for (const auto &tc : cases) {
		SCOPED_TRACE(tc.what);
		resp_rec rec;

		agent_->clear_faults();
		agent_->set_fault(tc.f, CMD_GET_MOBID);

		EXPECT_EQ(send(CMD_GET_MOBID, nullptr, &rec), 0);
		ASSERT_EQ(rec.calls, 1);
		EXPECT_EQ(rec.len, tc.len);
		EXPECT_EQ(std::string(rec.buf.data()), tc.text);
		// The buffer is always terminated and zero after the text.
		for (size_t i = tc.text.size(); i < rec.buf.size(); i++)
			ASSERT_EQ(rec.buf[i], 0) << "at " << i;
	}
}

TEST_F(CmdChannel, MismatchedIdIsTracedSentIdFirst)
{
	resp_rec rec;

	agent_->set_fault({sim::fault_kind::wrong_id, 9, ""}, CMD_GET_BSS_INFO);
	EXPECT_EQ(send(CMD_GET_BSS_INFO, nullptr, &rec), 0);
	EXPECT_EQ(rec.calls, 0);
	EXPECT_EQ(count_log(trace("Cntlr Cmd-Resp mismatch (8, 9)\n")), 1);
}

TEST_F(CmdChannel, OversizedReplyIsCutAndTraced)
{
	resp_rec rec;

	agent_->set_fault({sim::fault_kind::oversized_resp, 4000, ""}, CMD_GET_MOBID);
	EXPECT_EQ(send(CMD_GET_MOBID, nullptr, &rec), 0);
	ASSERT_EQ(rec.calls, 1);
	EXPECT_EQ(rec.len, CMD_RESP_MAX);
	EXPECT_EQ(rec.buf[CMD_RESP_MAX - 1], 0);
	EXPECT_EQ(std::string(rec.buf.data()).size(), (size_t)CMD_RESP_MAX - 1);
	EXPECT_EQ(count_log(trace("CMD GET_MOBID response of 4001 bytes cut to 3072\n")), 1);
}

TEST_F(CmdChannel, CommandWithoutCallbackIsOnlyTraced)
{
	EXPECT_EQ(send(CMD_GET_MOBID), 0);
	EXPECT_EQ(count_log(unclosed(trace("CMD_Resphandler::: (&cmd = "))), 1);
	EXPECT_EQ(count_log("mismatch"), 0);
}

TEST_F(CmdChannel, EveryDataReplyIsHandedOver)
{
	resp_rec rec;

	agent_->set_fault({sim::fault_kind::multiple_data, 3, ""}, CMD_GET_MOBID);
	EXPECT_EQ(send(CMD_GET_MOBID, nullptr, &rec), 0);
	EXPECT_EQ(rec.calls, 3);
}

TEST_F(CmdChannel, FailedCallReportsTheBusStatus)
{
	const struct {
		const char *what;
		bool missing_object;
		int status;
		const char *text;
	} cases[] = {
		{"agent error", false, UBUS_STATUS_UNKNOWN_ERROR, "Unknown error"},
		{"no such object", true, UBUS_STATUS_NOT_FOUND, "Not found"},
	};

	for (const auto &tc : cases) {
		SCOPED_TRACE(tc.what);
		resp_rec rec;
		uint32_t target = tc.missing_object ? 0x7ffffff0u : agent_->agent_id();

		agent_->clear_faults();
		if (!tc.missing_object)
			agent_->set_fault({sim::fault_kind::error_status, -1, ""}, CMD_GET_OUI);
		clear_logs();

		EXPECT_EQ(cntlr_send_cmd(cntlr(), target, CMD_GET_OUI, nullptr, 0, record_resp,
					 &rec),
			  tc.status);
		EXPECT_EQ(rec.calls, 0);
		EXPECT_EQ(count_log(error2("CNTLR: Cntlr CMD GET_OUI failed (ret = " +
					   std::string(tc.text) + ")\n")),
			  1);
	}
}

TEST_F(CmdChannel, SilentAgentTimesOutAfterEightSeconds)
{
	resp_rec rec;

	agent_->set_fault({sim::fault_kind::no_reply, -1, ""}, CMD_GET_BSS_INFO);
	auto start = std::chrono::steady_clock::now();
	EXPECT_EQ(send(CMD_GET_BSS_INFO, nullptr, &rec), UBUS_STATUS_TIMEOUT);
	auto took = std::chrono::steady_clock::now() - start;

	EXPECT_GE(took, std::chrono::milliseconds(7900));
	EXPECT_LT(took, std::chrono::milliseconds(9500));
	EXPECT_EQ(rec.calls, 0);
	EXPECT_EQ(count_log(error2("CNTLR: Cntlr CMD GET_BSS_INFO failed (ret = Request timed out)\n")),
		  1);
	agent_->release_deferred();
}

} // namespace
