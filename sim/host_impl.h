// The host's inside, shared by host.cc and the agent's files (agent.cc,
// agent_cmd.cc). Everything here but the task queue belongs to the host
// thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bus/blob.h"
#include "bus/uloop.h"
#include "sim/host.h"

namespace sim {

struct posted_task;

struct host::impl {
	// A closure handed over by run(); lives on the caller's stack.
	struct task {
		const std::function<void()> &fn;
		bool done;
	};

	host *self = nullptr;
	std::string path;
	std::thread thread;
	std::thread::id tid;
	std::chrono::steady_clock::time_point start;

	ubus_context *ctx = nullptr;
	bool connected = false;
	struct uloop_timeout retry {}; // reconnect_timer, while the broker is away
	bool shutting_down = false;
	std::atomic<bool> stop_requested{false};

	int wake_fd = -1;
	struct uloop_fd wake {};
	std::mutex qmu;
	std::condition_variable qcv;
	std::deque<task *> queue;
	bool started = false;
	bool running = false;

	std::vector<std::unique_ptr<agent>> agents;
	std::unique_ptr<class topology> topo;
	std::list<posted_task *> posted;
	class journal jr;

	std::atomic<bool> mobile{false};
	std::atomic<int> move_delay_ms{50};
	std::function<void(agent &, const cmd_record &)> cmd_hook;
	std::function<void(agent &, const disconnect_record &)> disconnect_hook;
	std::function<void(agent &, const mac_addr &, const std::string &, bool)> station_hook;

	// The host whose thread this is (null on other threads).
	static thread_local impl *current;

	void thread_main();
	void drain_queue();
	// Connects anew and puts the agents' and the topology's objects back.
	void reconnect();
	// Raises `name` with the table in `b` and journals it.
	void send_event(const std::string &name, struct blob_buf *b);
};

} // namespace sim
