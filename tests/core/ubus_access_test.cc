// Calls of the "aircoord" object as the router's web interface makes them
// (with its session member), refusals that say why, and the ACL that lets
// web sessions make them.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "src/cntlr.h"
#include "src/cntlr_history.h"
#include "src/cntlr_ubus.h"
#include "tests/core/cntlr_fixture.h"

namespace {

using cntlrtest::CntlrFixture;

class ObjectCalls : public CntlrFixture {
protected:
	void SetUp() override
	{
		CntlrFixture::SetUp();
		if (HasFatalFailure())
			return;
		cntlr_history_clear();
		add_agent("", 1);
		discover();
		ASSERT_EQ(cntlr_ubus_add(cntlr()), 0);
	}
};

// The router's web gateways add a string ubus_rpc_session to every call:
// each method takes it, and nothing else unknown gets through with it. A
// refused set_config says why, in its reply and in the log.
TEST_F(ObjectCalls, WebSessionIsTakenAndRefusalsSayWhy)
{
	const std::string refused = "error: set_config: Invalid argument";
	const struct {
		const char *method;
		const char *args;
		std::string reply; // the start of it
		std::string why;   // set_config's reason
	} cases[] = {
		{"status", R"({"ubus_rpc_session":"0123abcd"})", R"({"mode":"scan","uptime":)", ""},
		{"stations", R"({"ubus_rpc_session":"0123abcd","sta":"5c:aa:bb:01:02:03"})",
		 R"({"stations":[],"offset":0,"total":0})", ""},
		{"history", R"({"limit":1,"ubus_rpc_session":"0123abcd"})",
		 R"({"history":[{"time":0,"kind":"node_added",)", ""},
		{"get_config", R"({"ubus_rpc_session":"0123abcd"})", R"({"steer_rssi_threshold":-65,)",
		 ""},
		{"set_config", R"({"ubus_rpc_session":"0123abcd","steer_rssi_margin":5})", "", ""},
		{"stations", R"({"ubus_rpc_session":"0123abcd","who":1})",
		 "error: stations: Invalid argument", ""},
		{"history", R"({"ubus_rpc_session":true})", "error: history: Invalid argument", ""},
		{"set_config", R"({"ubus_rpc_session":"0123abcd","margin":3})", refused,
		 "margin: unknown key"},
		{"set_config", R"({"ubus_rpc_session":7})", refused, "ubus_rpc_session: not a string"},
		{"set_config", R"({"steer_rssi_margin":50})", refused,
		 "steer_rssi_margin: 50 is out of range 0..40"},
		{"set_config", R"({"radar_hold":4294967356})", refused,
		 "radar_hold: 4294967356 is out of range 60..86400"},
		{"set_config", R"({"radar_channel":52})", refused,
		 "radar_channel: 52 is not one of 36, 40, 44, 48, 149, 153, 157, 161"},
		{"set_config", R"({"steer_rssi_margin":"3"})", refused,
		 R"(steer_rssi_margin: "3" is not an integer (0..40))"},
		{"set_config", R"({"cmd_timeout":2.5})", refused,
		 "cmd_timeout: 2.5 is not an integer (1..30)"},
		{"set_config", R"({"neighbor_interval":true})", refused,
		 "neighbor_interval: true is not an integer (2..3600)"},
		{"set_config", R"({"steering":1})", refused, "steering: 1 is not true or false"},
		{"set_config", R"({"roam_cleanup":[]})", refused,
		 "roam_cleanup: an array is not true or false"},
		// A caller's text reaches the log only as printable characters.
		{"set_config", R"({"\u001b[31mred":1})", refused, "?[31mred: unknown key"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.method) + " " + c.args);
		std::string refusal, quoted;
		for (char ch : c.why)
			quoted += ch == '"' ? std::string("\\\"") : std::string(1, ch);
		clear_logs();
		std::string got = ask(c.method, c.args, &refusal);
		EXPECT_EQ(got.rfind(c.reply, 0), 0u) << got;
		EXPECT_EQ(got.empty(), c.reply.empty()) << got;
		EXPECT_EQ(refusal, c.why.empty() ? "" : "{\"error\":\"" + quoted + "\"}");
		EXPECT_EQ(count_log(cntlrtest::error("set_config refused: " + c.why + "\n")),
			  c.why.empty() ? 0 : 1);
	}
	EXPECT_NE(ask("get_config").find("\"steer_rssi_margin\":5,"), std::string::npos);
}

// What rpcd grants a web session: reading is every method but set_config,
// which only sessions with write rights get. The web pages the project
// holds call nothing more and depend on that group.
TEST_F(ObjectCalls, AclLetsWebSessionsReadAndOnlyWritersSetConfig)
{
	const std::string pkg = std::string(AIRCOORD_SOURCE_DIR) + "/packaging/openwrt";
	json_object *acl = json_object_from_file((pkg + "/aircoord/files/aircoord.acl.json").c_str());
	ASSERT_NE(acl, nullptr);
	json_object *group = nullptr;
	EXPECT_EQ(json_object_object_length(acl), 1);
	ASSERT_TRUE(json_object_object_get_ex(acl, "aircoord", &group));
	auto granted = [&](const char *right, const char *kind, const char *object) {
		std::set<std::string> out;
		json_object *o = group;
		for (const char *key : {right, kind, object}) {
			if (key && !json_object_object_get_ex(o, key, &o))
				return out;
		}
		for (size_t i = 0; json_object_is_type(o, json_type_array) &&
				   i < json_object_array_length(o);
		     i++)
			out.insert(json_object_get_string(json_object_array_get_idx(o, i)));
		return out;
	};
	std::set<std::string> read = granted("read", "ubus", "aircoord");
	std::set<std::string> write = granted("write", "ubus", "aircoord");
	std::set<std::string> offered;
	for (int i = 0; i < cntlr()->obj.n_methods; i++)
		offered.insert(cntlr()->obj.methods[i].name);
	offered.erase("set_config");
	EXPECT_EQ(read, offered);
	EXPECT_EQ(write, std::set<std::string>{"set_config"});
	EXPECT_EQ(granted("read", "uci", nullptr), std::set<std::string>{"aircoord"});
	EXPECT_EQ(granted("write", "uci", nullptr), std::set<std::string>{"aircoord"});
	json_object_put(acl);

	const std::regex call(R"(object:\s*['"]aircoord['"]\s*,\s*method:\s*['"](\w+)['"])");
	const std::regex depends(R"("acl"\s*:\s*\[([^\]]*)\])");
	const std::regex quoted(R"re("([^"]*)")re");
	for (const auto &e : std::filesystem::recursive_directory_iterator(pkg)) {
		const std::string path = e.path().string();
		const std::string text = testutil::read_file(path);
		SCOPED_TRACE(path);
		for (std::sregex_iterator m(text.begin(), text.end(), call), end; m != end; ++m)
			EXPECT_TRUE(read.count((*m)[1]) || write.count((*m)[1])) << (*m)[1];
		if (path.find("/menu.d/") == std::string::npos)
			continue;
		for (std::sregex_iterator m(text.begin(), text.end(), depends), end; m != end; ++m) {
			const std::string names = (*m)[1];
			for (std::sregex_iterator q(names.begin(), names.end(), quoted); q != end; ++q)
				EXPECT_EQ((*q)[1], "aircoord");
		}
	}
}

} // namespace
