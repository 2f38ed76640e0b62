// Helpers of the station table, tracking and steering tests: a log capture
// at full verbosity, a controller without a bus whose nodes and BSSes the
// test owns, and a builder of "wifi.sta" event messages.
//
// BareMesh sends nothing: a case that would make the controller call out
// over the bus belongs with the bus fixture instead.
#pragma once

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bus/blobmsg.h"
#include "src/cntlr.h"
#include "src/log.h"
#include "src/main.h"

namespace statest {

using Mac = std::array<uint8_t, 6>;

inline std::string plain(const std::string &s)
{
	return "\033[0m" + s + "\033[0m";
}

inline std::string trace(const std::string &s)
{
	return "\033[0m\033[0;32mCNTLR: \033[0m" + s + "\033[0m";
}

inline std::string mac_str(const Mac &m)
{
	char buf[18];
	snprintf(buf, sizeof(buf), "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4],
		 m[5]);
	return buf;
}

inline Mac to_mac(const uint8_t *p)
{
	Mac m;
	memcpy(m.data(), p, 6);
	return m;
}

// Points the stream sink at a temporary file at full verbosity while alive.
class LogCapture {
public:
	LogCapture() : saved_stream_(log_stream), saved_verbosity_(opt_verbosity)
	{
		file_ = tmpfile();
		log_stream = file_;
		opt_verbosity = LOG_LEVEL_VERBOSE;
	}
	~LogCapture()
	{
		log_stream = saved_stream_;
		opt_verbosity = saved_verbosity_;
		fclose(file_);
	}
	LogCapture(const LogCapture &) = delete;
	LogCapture &operator=(const LogCapture &) = delete;

	std::string text()
	{
		std::string out;
		char buf[512];
		size_t n;

		fflush(file_);
		rewind(file_);
		while ((n = fread(buf, 1, sizeof(buf), file_)) > 0)
			out.append(buf, n);
		return out;
	}
	bool contains(const std::string &s) { return text().find(s) != std::string::npos; }
	void clear()
	{
		fflush(file_);
		if (ftruncate(fileno(file_), 0) == 0)
			rewind(file_);
	}

private:
	FILE *file_;
	FILE *saved_stream_;
	int saved_verbosity_;
};

// A controller record with nodes and BSSes but no bus connection. The
// station table is the process-wide one; it is emptied on destruction.
class BareMesh {
public:
	BareMesh() { cntlr_init(&c); }
	~BareMesh() { as_clean_all(c.as_table); }
	BareMesh(const BareMesh &) = delete;
	BareMesh &operator=(const BareMesh &) = delete;

	// Inserted at the head, as the registry does.
	struct node *add_node(const Mac &mac, bool local = false)
	{
		auto n = std::make_unique<struct node>();
		memcpy(n->macaddr, mac.data(), 6);
		n->cntlr = &c;
		n->depth = -1;
		n->is_local = local;
		n->is_remote = !local;
		n->system_id = n->graph_id = n->network_id = (uint32_t)-1;
		n->wifix_id = n->agent_id = (uint32_t)-1;
		INIT_LIST_HEAD(&n->fhbsslist);
		list_add(&n->list, &c.nodelist);
		c.num_nodes++;
		if (local)
			c.lnode = n.get();
		nodes_.push_back(std::move(n));
		return nodes_.back().get();
	}
	struct fhbss *add_bss(struct node *n, const char *ifname, const Mac &bssid)
	{
		auto f = std::make_unique<struct fhbss>();
		// A name of 16 characters fills the field without terminator.
		memcpy(f->ifname, ifname, strnlen(ifname, sizeof(f->ifname)));
		memcpy(f->bssid, bssid.data(), 6);
		list_add(&f->list, &n->fhbsslist);
		bsses_.push_back(std::move(f));
		return bsses_.back().get();
	}
	struct active_sta *sta(const Mac &m) { return as_lookup(c.as_table, m.data()); }

	struct cntlr c {};

private:
	std::vector<std::unique_ptr<struct node>> nodes_;
	std::vector<std::unique_ptr<struct fhbss>> bsses_;
};

// A blobmsg table as an event handler receives it.
class EventMsg {
public:
	EventMsg() { blob_buf_init(&b_, 0); }
	~EventMsg() { blob_buf_free(&b_); }
	EventMsg(const EventMsg &) = delete;
	EventMsg &operator=(const EventMsg &) = delete;

	EventMsg &str(const char *name, const std::string &v)
	{
		blobmsg_add_string(&b_, name, v.c_str());
		return *this;
	}
	EventMsg &i32(const char *name, int32_t v)
	{
		blobmsg_add_u32(&b_, name, (uint32_t)v);
		return *this;
	}
	struct blob_attr *msg() { return b_.head; }

private:
	struct blob_buf b_ {};
};

} // namespace statest
