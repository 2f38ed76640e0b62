// Test helpers for the bus layer: a private broker and bus peers that run
// their own event loop on a thread of their own, so that a test thread can
// make synchronous calls to objects they serve.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bus/busd.h"
#include "bus/ubus.h"
#include "tests/common/test_util.h"

namespace bustest {

// A broker on a temp socket for the lifetime of the object.
class Broker {
public:
	Broker();
	~Broker();
	const std::string &path() const { return path_; }
	// Stops the broker now (its clients see the connection close).
	void stop();

private:
	testutil::TempDir dir_;
	std::string path_;
	struct busd_thread *thread_;
};

// One bus connection served by an event loop on its own thread. run()
// executes a function on that thread (between loop iterations) and waits
// for it, so objects are added and replies sent on the loop's thread.
class Peer {
public:
	explicit Peer(const std::string &socket);
	~Peer();
	Peer(const Peer &) = delete;
	Peer &operator=(const Peer &) = delete;

	bool connected() const { return connected_; }
	uint32_t id() const { return id_; }
	void run(const std::function<void(struct ubus_context *)> &fn);

	struct State;

private:
	std::unique_ptr<State> state_;
	std::thread thread_;
	bool connected_ = false;
	uint32_t id_ = 0;
};

} // namespace bustest

namespace bustest {

// Bytes from hex text; spaces and '|' are ignored ("00 05 0001 | 0000000c").
std::vector<uint8_t> hex(const std::string &text);
std::string to_hex(const std::vector<uint8_t> &bytes);

// Reads one whole bus message (header, root, body) from a blocking socket,
// waiting at most `timeout_ms`; empty on time-out, end of file or a broken
// frame.
std::vector<uint8_t> read_frame(int fd, int timeout_ms = 5000);
bool write_bytes(int fd, const std::vector<uint8_t> &bytes);

// A client speaking raw bytes to a broker: for checking exactly what the
// broker writes and for feeding it garbage.
class RawClient {
public:
	explicit RawClient(const std::string &socket);
	~RawClient();
	RawClient(const RawClient &) = delete;
	RawClient &operator=(const RawClient &) = delete;

	int fd() const { return fd_; }
	// The client id the broker greeted us with (0 without a greeting).
	uint32_t id() const { return id_; }
	std::vector<uint8_t> hello() const { return hello_; }
	bool send(const std::vector<uint8_t> &bytes) { return write_bytes(fd_, bytes); }
	std::vector<uint8_t> next(int timeout_ms = 5000) { return read_frame(fd_, timeout_ms); }
	// True once the broker closed the connection.
	bool closed_by_peer(int timeout_ms = 5000);

private:
	int fd_ = -1;
	uint32_t id_ = 0;
	std::vector<uint8_t> hello_;
};

// A stand-in broker that speaks raw bytes: it greets one client with HELLO
// (peer = `client_id`), records every message the client writes and
// answers each with what `responder` returns. Runs on its own thread, so
// the test thread can make synchronous calls against it.
class FakeBroker {
public:
	using Responder = std::function<std::vector<uint8_t>(const std::vector<uint8_t> &msg)>;
	FakeBroker(uint32_t client_id, Responder responder);
	~FakeBroker();

	const std::string &path() const { return path_; }
	// Messages received so far, in order.
	std::vector<std::vector<uint8_t>> received();
	// Waits until at least n messages came in.
	bool wait_received(size_t n, int timeout_ms = 5000);
	// Writes bytes to the client now.
	void inject(const std::vector<uint8_t> &bytes);
	// Closes the client's connection.
	void hang_up();

	struct State;

private:
	testutil::TempDir dir_;
	std::string path_;
	std::shared_ptr<State> state_;
	std::thread thread_;
};

} // namespace bustest

namespace bustest {

// An object named `name` with the given methods, its type named alike.
// Add `obj`; `methods` must outlive it.
struct NamedObject {
	struct ubus_object_type type = {};
	struct ubus_object obj = {};
	NamedObject(const char *name, const struct ubus_method *methods, int n_methods);
};

// Records every event its handler gets as "type json", for a test thread to
// read while a loop thread adds to it. Register `ev` (its callback is set);
// the callback finds the recorder from the handler's address.
struct EventRecorder {
	EventRecorder();
	struct ubus_event_handler ev = {};
	std::mutex lock;
	std::vector<std::string> seen;
	std::vector<std::string> snapshot();
};

// Reply callback of an invoke: appends each reply's data as JSON to the
// std::vector<std::string> in req->priv.
void collect_json(struct ubus_request *req, int type, struct blob_attr *msg);

// A whole message: header and a root holding the attributes given as hex.
std::vector<uint8_t> frame(uint8_t type, uint16_t seq, uint32_t peer, const std::string &attrs);
// Header fields of a message.
uint8_t frame_type(const std::vector<uint8_t> &m);
uint16_t frame_seq(const std::vector<uint8_t> &m);
uint32_t frame_peer(const std::vector<uint8_t> &m);
// "xxxxxxxx" for a 32-bit value.
std::string hex32(uint32_t v);

} // namespace bustest
