// The bus client built like the router's library: what ends a synchronous
// wait, and where the callbacks of asynchronous requests run.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/socket.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "bus/ubus.h"
#include "bus/ubusmsg.h"
#include "bus/uloop.h"
#include "tests/bus/bus_util.h"

namespace {

using bustest::frame;
using bustest::hex32;

constexpr uint32_t obj_id = 0x087fee8f;
constexpr uint32_t caller_id = 0x559d43b3;

std::string status_hex(int code)
{
	return "01000008 " + hex32(uint32_t(code));
}

struct ubus_context *signal_ctx;
bool signal_cuts;

void on_signal(int)
{
	if (signal_cuts)
		shutdown(signal_ctx->sock.fd, SHUT_RDWR);
	else
		uloop_end();
}

// A signal lands while a call waits on an object that never answers: only
// its time-out or the end of the connection ends the wait.
TEST(RouterModeClient, OnlyTheReplyTheTimeOutOrTheEndOfTheConnectionEndAWait)
{
	const struct {
		const char *what;
		bool cuts;
		int status;
		bool waits_out;
	} cases[] = {
		{"uloop_end() from the signal's handler", false, UBUS_STATUS_TIMEOUT, true},
		{"the socket shut down by the handler", true, UBUS_STATUS_CONNECTION_FAILED, false},
	};
	pthread_t self = pthread_self();
	struct sigaction sa = {}, old;
	sa.sa_handler = on_signal;
	sigaction(SIGUSR1, &sa, &old);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		signal_cuts = c.cuts;
		// Signalled once the call is out: the caller is in its wait.
		bustest::FakeBroker fake(caller_id, [&](const std::vector<uint8_t> &) {
			pthread_kill(self, SIGUSR1);
			return std::vector<uint8_t>{};
		});
		uloop_init();
		signal_ctx = ubus_connect(fake.path().c_str());
		ASSERT_NE(signal_ctx, nullptr);
		signal_ctx->connection_lost = [](struct ubus_context *) {};
		ubus_add_uloop(signal_ctx);
		const int timeout = c.waits_out ? 300 : 5000;
		auto t0 = std::chrono::steady_clock::now();
		EXPECT_EQ(ubus_invoke(signal_ctx, obj_id, "get", nullptr, nullptr, nullptr, timeout),
			  c.status);
		auto waited = std::chrono::steady_clock::now() - t0;
		EXPECT_EQ(waited >= std::chrono::milliseconds(timeout), c.waits_out);
		ubus_free(signal_ctx);
		uloop_done();
	}
	sigaction(SIGUSR1, &old, nullptr);
}

std::vector<std::string> seen;
bool in_call;

int record_call(struct ubus_context *, struct ubus_object *, struct ubus_request_data *,
		const char *method, struct blob_attr *)
{
	seen.push_back(std::string("call ") + method + (in_call ? " (in the call)" : ""));
	return 0;
}

const struct ubus_method methods[] = {UBUS_METHOD_NOARG("get", record_call)};

// The replies of an asynchronous request are handed over as soon as they
// are read, inside a synchronous call too, while a call to our own object
// waits for the call's end; a lost connection ends the request at once, as
// timed out.
TEST(RouterModeClient, AsynchronousRepliesRunNestedAndCallsWait)
{
	const struct {
		const char *what;
		bool hang_up;
		std::vector<std::string> seen;
	} cases[] = {
		{"replies during a call",
		 false,
		 {"data (in the call)", "end 9 (in the call)", "call get"}},
		{"the connection lost", true, {"end 7"}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		// The asynchronous call is seq 2 (after the object's seq 1); the
		// synchronous one is answered with its replies first, then a call
		// to our object, then its own status.
		bustest::FakeBroker fake(caller_id, [](const std::vector<uint8_t> &m) {
			uint16_t seq = bustest::frame_seq(m);
			uint8_t type = bustest::frame_type(m);
			std::vector<uint8_t> out;
			auto add = [&out](const std::vector<uint8_t> &f) {
				out.insert(out.end(), f.begin(), f.end());
			};
			if (type == UBUS_MSG_ADD_OBJECT) {
				add(frame(UBUS_MSG_DATA, seq, 0, "03000008 " + hex32(obj_id)));
				add(frame(UBUS_MSG_STATUS, seq, 0, status_hex(0)));
			} else if (seq == 3) {
				add(frame(UBUS_MSG_DATA, 2, obj_id, "03000008 087fee8f 07000004"));
				add(frame(UBUS_MSG_STATUS, 2, obj_id, status_hex(9)));
				add(frame(UBUS_MSG_INVOKE, 7, caller_id,
					  "03000008 087fee8f 04000008 67657400 07000004"));
				add(frame(UBUS_MSG_STATUS, seq, obj_id, status_hex(0)));
			}
			return out;
		});
		uloop_init();
		struct ubus_context *ctx = ubus_connect(fake.path().c_str());
		ASSERT_NE(ctx, nullptr);
		ctx->connection_lost = [](struct ubus_context *) {};
		ubus_add_uloop(ctx);
		bustest::NamedObject obj("demo", methods, 1);
		ASSERT_EQ(ubus_add_object(ctx, &obj.obj), 0);
		seen.clear();
		struct ubus_request req;
		ASSERT_EQ(ubus_invoke_async(ctx, obj_id, "get", nullptr, &req), 0);
		req.data_cb = [](struct ubus_request *, int, struct blob_attr *) {
			seen.push_back(std::string("data") + (in_call ? " (in the call)" : ""));
		};
		req.complete_cb = [](struct ubus_request *, int ret) {
			seen.push_back("end " + std::to_string(ret) + (in_call ? " (in the call)" : ""));
		};
		ubus_complete_request_async(ctx, &req);
		if (c.hang_up) {
			fake.hang_up();
		} else {
			in_call = true;
			EXPECT_EQ(ubus_invoke(ctx, obj_id, "get", nullptr, nullptr, nullptr, 5000), 0);
			in_call = false;
		}
		auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
		while (seen.size() < c.seen.size() && std::chrono::steady_clock::now() < deadline)
			uloop_run_timeout(10);
		EXPECT_EQ(seen, c.seen);
		ubus_free(ctx);
		uloop_done();
	}
}

} // namespace
