// The simulator's test fixture: a private broker, a sim::host on it, and a
// plain bus client on the test thread that calls the agents as the
// controller would and listens to what they raise.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bus/busd.h"
#include "bus/ubus.h"
#include "sim/agent.h"
#include "sim/host.h"
#include "tests/common/test_util.h"

namespace simtest {

sim::mac_addr mac(const std::string &text);

// A box for `prefix` with `nbss` BSSes "wl0", "wl1", ... (SSID "mesh<index>",
// BSSID 02:00:00:<index>:<index>:<i>, wl0 on channel 6 / class 81 / PHY 7,
// the others on 36 / 115 / 9, BSSID information 0x108f), MAC
// 02:aa:00:00:00:<index>.
sim::agent_config box_cfg(const std::string &prefix, int index, int nbss = 1);

struct reply_msg {
	bool has_id = false;
	int id = 0;
	bool has_resp = false;
	std::string resp;
};

struct call_result {
	int status = -1;
	std::vector<reply_msg> msgs;
};

struct event_listener {
	struct ubus_event_handler ev {};
	std::vector<std::pair<std::string, std::string>> events; // name, JSON
};

class SimFixture : public ::testing::Test {
protected:
	void SetUp() override;
	void TearDown() override;

	sim::host &host() { return *host_; }
	const std::string &socket_path() const { return sock_; }

	// Calls "cmd" on the object at `path` as the controller does.
	call_result cmd(const std::string &path, int id, const char *data = nullptr,
			int timeout_ms = 3000);
	// Calls `method` without arguments; the reply rendered as JSON ("" when
	// the call failed or sent nothing).
	std::string call_json(const std::string &path, const std::string &method);
	int disconnect(const std::string &path, const std::string &ifname, const std::string &sta);
	// Registers `l` for `pattern` on the test thread's connection; events
	// arrive while pump_until runs the loop.
	void listen(event_listener *l, const std::string &pattern);
	bool pump_until(const std::function<bool()> &cond,
			std::chrono::milliseconds timeout = std::chrono::seconds(5));

	testutil::TempDir dir_;

private:
	std::string sock_;
	struct busd_thread *broker_ = nullptr;
	std::unique_ptr<sim::host> host_;
	struct ubus_context *ctx_ = nullptr;
	bool loop_up_ = false;
};

} // namespace simtest
