#include "tests/core/cntlr_fixture.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <future>

#include "bus/ubus.h"
#include "bus/uloop.h"
#include "sim/ask.h"
#include "src/active_sta.h"
#include "src/cntlr_node.h"
#include "src/log.h"
#include "src/main.h"
#include "src/mtrace.h"

namespace cntlrtest {

static const std::string esc = "\033";

std::string trace(const std::string &text)
{
	return esc + "[0m" + esc + "[0;32mCNTLR: " + esc + "[0m" + text + esc + "[0m";
}

std::string info(const std::string &text)
{
	return esc + "[0;34m" + text + esc + "[0m";
}

std::string error(const std::string &text)
{
	return esc + "[0;31m" + text + esc + "[0m";
}

std::string error2(const std::string &text)
{
	return esc + "[0;31m" + esc + "[0;31m" + text + esc + "[0m";
}

std::string plain(const std::string &text)
{
	return esc + "[0m" + text + esc + "[0m";
}

std::string cmd(const std::string &text)
{
	return esc + "[0;33mCNTLR: " + text + esc + "[0m";
}

std::string unclosed(const std::string &wrapped)
{
	const std::string reset = esc + "[0m";

	if (wrapped.size() >= reset.size() &&
	    wrapped.compare(wrapped.size() - reset.size(), reset.size(), reset) == 0)
		return wrapped.substr(0, wrapped.size() - reset.size());
	return wrapped;
}

sim::agent_config agent_cfg(const std::string &prefix, int index, int nbss)
{
	sim::agent_config cfg;
	uint8_t k = (uint8_t)index;

	cfg.prefix = prefix;
	cfg.macaddr = {0x02, 0xaa, 0x00, 0x00, 0x00, k};
	for (int i = 0; i < nbss; i++) {
		sim::bss_config b;

		b.ifname = "wl" + std::to_string(i);
		b.ssid = "mesh" + std::to_string(index);
		b.bssid = {0x02, 0x00, 0x00, k, k, (uint8_t)i};
		b.channel = 36;
		b.opclass = 128;
		b.phy_type = 9;
		b.bssid_info = 0x108f;
		cfg.bsses.push_back(b);
	}
	return cfg;
}

std::vector<std::string> CntlrFixture::receivers(int id)
{
	std::vector<std::string> out;
	for (const auto &r : journal().commands(id))
		out.push_back(r.agent);
	std::sort(out.begin(), out.end());
	return out;
}

void CntlrFixture::SetUp()
{
	sock_ = dir_.file("bus.sock");

	saved_log_stream_ = log_stream;
	saved_verbosity_ = opt_verbosity;
	log_ = fopen(dir_.file("log.txt").c_str(), "w+");
	ASSERT_NE(log_, nullptr);
	log_stream = log_;
	opt_verbosity = 5;

	broker_ = busd_thread_start(sock_.c_str());
	ASSERT_NE(broker_, nullptr);
	host_ = std::make_unique<sim::host>(sock_);
	ASSERT_TRUE(host_->ok());

	ASSERT_EQ(uloop_init(), 0);
	loop_up_ = true;
	c_ = static_cast<struct cntlr *>(MTRACE_CALLOC(1, sizeof(struct cntlr)));
	ASSERT_NE(c_, nullptr);
	c_->ctx = ubus_connect(sock_.c_str());
	ASSERT_NE(c_->ctx, nullptr);
	ubus_add_uloop(c_->ctx);
	cntlr_init(c_);
}

void CntlrFixture::TearDown()
{
	if (c_) {
		// The daemon's own release: the local node goes first, so the
		// teardown sends no command.
		if (c_->ctx)
			cntlr_release(c_);
		else if (c_->as_table)
			as_clean_all(c_->as_table);

		if (c_->ctx)
			ubus_free(c_->ctx);
		MTRACE_FREE(c_);
		c_ = nullptr;
	}
	if (loop_up_) {
		uloop_done();
		loop_up_ = false;
	}
	host_.reset();
	if (broker_) {
		busd_thread_stop(broker_);
		broker_ = nullptr;
	}

	if (log_) {
		log_stream = saved_log_stream_;
		fclose(log_);
		log_ = nullptr;
	}
	opt_verbosity = saved_verbosity_;
}

sim::agent &CntlrFixture::add_agent(const std::string &prefix, int nbss)
{
	return add_agent(agent_cfg(prefix, next_index_, nbss));
}

sim::agent &CntlrFixture::add_agent(const sim::agent_config &cfg)
{
	next_index_++;
	return host_->add_agent(cfg);
}

void CntlrFixture::discover()
{
	cntlr_discover(c_);
}

void CntlrFixture::scan()
{
	ubus_lookup(c_->ctx, nullptr, agent_lookup_cb, c_);
}

struct node *CntlrFixture::node_of(const std::string &prefix)
{
	return node_by_prefix(c_, prefix.c_str());
}

int CntlrFixture::node_count()
{
	struct node *n;
	int count = 0;

	list_for_each_entry(n, &c_->nodelist, list)
		count++;
	return count;
}

void CntlrFixture::cancel_node_timers()
{
	struct node *n;

	list_for_each_entry(n, &c_->nodelist, list)
		uloop_timeout_cancel(&n->bssinfo_timer);
}

bool CntlrFixture::pump_until(const std::function<bool()> &cond,
			      std::chrono::milliseconds timeout)
{
	auto deadline = std::chrono::steady_clock::now() + timeout;

	while (!cond()) {
		if (std::chrono::steady_clock::now() >= deadline)
			return cond();
		uloop_run_timeout(10);
	}
	return true;
}

std::string CntlrFixture::ask(const std::string &method, const std::string &args,
			      std::string *refusal)
{
	std::string reply;
	bool ok = false;
	auto f = std::async(std::launch::async, [&] {
		std::string err;
		ok = sim::ask_controller(socket_path(), method, args, &reply, &err);
		return ok ? compact(reply) : "error: " + err;
	});
	pump_until([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
	std::string out = f.get();
	if (refusal)
		*refusal = ok ? "" : compact(reply);
	return out;
}

std::string CntlrFixture::compact(const std::string &s)
{
	std::string out;
	bool in_text = false, escaped = false;
	for (char ch : s) {
		if (ch == '"' && !escaped)
			in_text = !in_text;
		escaped = in_text && ch == '\\' && !escaped;
		if (in_text || (ch != '\n' && ch != '\t' && ch != ' '))
			out += ch;
	}
	return out;
}

std::string CntlrFixture::logs()
{
	fflush(log_);
	return testutil::read_file(dir_.file("log.txt"));
}

void CntlrFixture::clear_logs()
{
	fflush(log_);
	if (ftruncate(fileno(log_), 0) == 0)
		rewind(log_);
}

int CntlrFixture::count_log(const std::string &text)
{
	std::string all = logs();
	int count = 0;

	if (text.empty())
		return 0;
	for (size_t pos = all.find(text); pos != std::string::npos;
	     pos = all.find(text, pos + text.size()))
		count++;
	return count;
}

} // namespace cntlrtest
