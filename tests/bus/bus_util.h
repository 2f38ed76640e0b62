// Test helpers for the bus layer: a private broker and bus peers that run
// their own event loop on a thread of their own, so that a test thread can
// make synchronous calls to objects they serve.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

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
