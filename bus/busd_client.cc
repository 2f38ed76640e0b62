#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "bus/busd_internal.h"

namespace busd_internal {

constexpr size_t max_txq = 1048576;
// Output collected while handling a batch is written at the end of it;
// beyond this much it is written at once so that the cap only ever drops
// messages for a client that really stopped reading.
constexpr size_t tx_early_flush = 64 * 1024;
constexpr size_t rx_initial = 64 * 1024;

void put_attr(std::vector<uint8_t> &v, int id, const void *data, size_t len)
{
	uint32_t w = htobe32(((uint32_t)id << BLOB_ATTR_ID_SHIFT) | (uint32_t)(len + 4));
	const auto *wp = reinterpret_cast<const uint8_t *>(&w);
	v.insert(v.end(), wp, wp + 4);
	const auto *dp = static_cast<const uint8_t *>(data);
	if (len)
		v.insert(v.end(), dp, dp + len);
	v.insert(v.end(), blob_pad4(len) - len, 0);
}

void put_u32_attr(std::vector<uint8_t> &v, int id, uint32_t val)
{
	uint32_t be = htobe32(val);
	put_attr(v, id, &be, 4);
}

static void kill_client(busd_client *cl)
{
	if (cl->dead)
		return;
	cl->dead = true;
	cl->d->dead.push_back(cl);
}

static void client_update_poll(busd_client *cl)
{
	bool want = cl->txoff < cl->txq.size();
	if (want == cl->want_write || !cl->sock.registered)
		return;
	cl->want_write = want;
	uloop_fd_add(&cl->sock, ULOOP_READ | (want ? ULOOP_WRITE : 0));
}

static void client_flush(busd_client *cl)
{
	while (!cl->dead && cl->txoff < cl->txq.size()) {
		ssize_t n = send(cl->sock.fd, cl->txq.data() + cl->txoff,
				 cl->txq.size() - cl->txoff, MSG_NOSIGNAL | MSG_DONTWAIT);
		if (n > 0) {
			cl->txoff += n;
			continue;
		}
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
			break;
		kill_client(cl);
	}
	if (cl->txoff == cl->txq.size()) {
		cl->txq.clear();
		cl->txoff = 0;
	} else if (cl->txoff > 256 * 1024) {
		cl->txq.erase(cl->txq.begin(), cl->txq.begin() + cl->txoff);
		cl->txoff = 0;
	}
	if (!cl->dead)
		client_update_poll(cl);
}

uint8_t *client_reserve(busd_client *cl, size_t len)
{
	if (cl->dead)
		return nullptr;
	size_t queued = cl->txq.size() - cl->txoff;
	if (queued >= tx_early_flush) {
		client_flush(cl);
		if (cl->dead)
			return nullptr;
		queued = cl->txq.size() - cl->txoff;
	}
	if (queued && queued + len > max_txq)
		return nullptr;
	if (!cl->dirty) {
		cl->dirty = true;
		cl->d->dirty.push_back(cl);
	}
	size_t at = cl->txq.size();
	cl->txq.resize(at + len);
	return cl->txq.data() + at;
}

enum {
	UBUS_MONITOR_CLIENT,
	UBUS_MONITOR_PEER,
	UBUS_MONITOR_SEND,
	UBUS_MONITOR_SEQ,
	UBUS_MONITOR_TYPE,
	UBUS_MONITOR_DATA,
};

void monitor_msg(busd_client *cl, const uint8_t *m, bool send)
{
	struct busd *d = cl->d;
	if (d->monitors.empty() || m[1] == UBUS_MSG_MONITOR)
		return;
	// `m` may sit in a queue that the copies below make grow.
	size_t len = UBUS_MSGHDR_LEN + ubus_msg_root_len(m);
	d->mon_copy.assign(m, m + len);
	const uint8_t *c = d->mon_copy.data();
	struct ubus_msghdr h;
	memcpy(&h, c, sizeof(h));
	std::vector<uint8_t> &v = d->mon_attrs;
	v.clear();
	put_u32_attr(v, UBUS_MONITOR_CLIENT, cl->id);
	put_u32_attr(v, UBUS_MONITOR_PEER, be32toh(h.peer));
	uint8_t dir = send;
	put_attr(v, UBUS_MONITOR_SEND, &dir, 1);
	put_u32_attr(v, UBUS_MONITOR_SEQ, be16toh(h.seq));
	put_u32_attr(v, UBUS_MONITOR_TYPE, h.type);
	put_attr(v, UBUS_MONITOR_DATA, c + UBUS_MSG_PREFIX_LEN, len - UBUS_MSG_PREFIX_LEN);
	for (busd_client *mon : d->monitors)
		client_send_attrs(mon, UBUS_MSG_MONITOR, ++mon->monitor_seq, 0, v);
}

void client_send(busd_client *cl, uint8_t type, uint16_t seq, uint32_t peer, const void *body,
		 size_t body_len)
{
	uint8_t *p = client_reserve(cl, UBUS_MSGHDR_LEN + body_len);
	if (!p)
		return;
	ubus_msghdr_fill(p, type, seq, peer);
	memcpy(p + UBUS_MSGHDR_LEN, body, body_len);
	monitor_msg(cl, p, true);
}

void client_send_attrs(busd_client *cl, uint8_t type, uint16_t seq, uint32_t peer,
		       const std::vector<uint8_t> &attrs)
{
	uint8_t *p = client_reserve(cl, UBUS_MSG_PREFIX_LEN + attrs.size());
	if (!p)
		return;
	ubus_msghdr_fill(p, type, seq, peer);
	uint32_t w = htobe32((uint32_t)(attrs.size() + 4));
	memcpy(p + UBUS_MSGHDR_LEN, &w, 4);
	if (!attrs.empty())
		memcpy(p + UBUS_MSG_PREFIX_LEN, attrs.data(), attrs.size());
	monitor_msg(cl, p, true);
}

void send_status(busd_client *cl, uint16_t seq, uint32_t peer, int status)
{
	uint8_t body[12];
	uint32_t w = htobe32(12);
	memcpy(body, &w, 4);
	w = htobe32(((uint32_t)UBUS_ATTR_STATUS << BLOB_ATTR_ID_SHIFT) | 8);
	memcpy(body + 4, &w, 4);
	w = htobe32((uint32_t)status);
	memcpy(body + 8, &w, 4);
	client_send(cl, UBUS_MSG_STATUS, seq, peer, body, sizeof(body));
}

static void flush_dirty(struct busd *d)
{
	while (!d->dirty.empty()) {
		std::vector<busd_client *> v;
		v.swap(d->dirty);
		for (busd_client *cl : v) {
			cl->dirty = false;
			client_flush(cl);
		}
	}
}

static void free_client(struct busd *d, busd_client *cl)
{
	// Also when a hang-up already unregistered it: events fetched for it
	// in the same batch must be forgotten before it is freed.
	uloop_fd_delete(&cl->sock);
	close(cl->sock.fd);
	cl->txq.clear();
	cl->txoff = 0;
	d->monitors.erase(std::remove(d->monitors.begin(), d->monitors.end(), cl),
			  d->monitors.end());
	while (!cl->objects.empty())
		free_object(d, cl->objects.back());
	free(cl->rbuf);
	d->dirty.erase(std::remove(d->dirty.begin(), d->dirty.end(), cl), d->dirty.end());
	d->clients.erase(cl->id);
}

// Writes what was collected and releases clients that went away, whose
// remove events may in turn make output (and dead clients).
static void settle(struct busd *d)
{
	for (;;) {
		flush_dirty(d);
		if (d->dead.empty())
			break;
		std::vector<busd_client *> v;
		v.swap(d->dead);
		for (busd_client *cl : v)
			free_client(d, cl);
	}
}

// Returns false when the client's stream is broken.
static bool client_read(busd_client *cl)
{
	size_t avail = cl->rend - cl->rstart;
	if (cl->rstart) {
		if (avail)
			memmove(cl->rbuf, cl->rbuf + cl->rstart, avail);
		cl->rstart = 0;
		cl->rend = avail;
	}
	size_t want = ubus_msg_rx_want(cl->rbuf, avail, 4096);
	if (cl->rcap - cl->rend < want) {
		size_t cap = cl->rcap ? cl->rcap : rx_initial;
		while (cap - avail < want)
			cap += rx_initial;
		auto *nb = static_cast<uint8_t *>(realloc(cl->rbuf, cap));
		if (!nb)
			return false;
		cl->rbuf = nb;
		cl->rcap = cap;
	}
	ssize_t n = ubus_recv_some(cl->sock.fd, cl->rbuf + cl->rend, cl->rcap - cl->rend);
	if (n < 0)
		return false;
	cl->rend += n;
	return true;
}

// Handles every complete message in the buffer; false when one is
// malformed, which costs the client its connection.
static bool client_process(busd_client *cl)
{
	while (!cl->dead) {
		const uint8_t *p = cl->rbuf + cl->rstart;
		ssize_t total = ubus_msg_frame_len(p, cl->rend - cl->rstart);
		if (total < 0)
			return false;
		if (total == 0)
			return true;
		cl->rstart += total;
		handle_msg(cl, p, total);
	}
	return true;
}

static void client_cb(struct uloop_fd *u, unsigned int events)
{
	busd_client *cl = container_of(u, busd_client, sock);
	struct busd *d = cl->d;
	if (events & ULOOP_WRITE)
		client_flush(cl);
	if (!cl->dead && (events & ULOOP_READ || u->error || !u->registered)) {
		bool ok = client_read(cl) && client_process(cl);
		if (!ok || u->error || !u->registered)
			kill_client(cl);
	}
	// The requester's answers go out first: it can go on while the
	// broker writes to everyone else, and nothing it sends next is read
	// before that writing is done.
	if (cl->dirty && !cl->dead)
		client_flush(cl);
	settle(d);
}

static bool client_identity(busd_client *cl)
{
	struct ucred cred;
	socklen_t len = sizeof(cred);
	if (getsockopt(cl->sock.fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) < 0)
		return false;
	cl->uid = cred.uid;
	cl->gid = cred.gid;

	char buf[4096];
	struct passwd pw, *pwp = nullptr;
	if (getpwuid_r(cred.uid, &pw, buf, sizeof(buf), &pwp) || !pwp)
		return false;
	std::string user = pwp->pw_name;
	struct group gr, *grp = nullptr;
	if (getgrgid_r(cred.gid, &gr, buf, sizeof(buf), &grp) || !grp)
		return false;
	std::string group = grp->gr_name;
	put_attr(cl->ident, UBUS_ATTR_USER, user.c_str(), user.size() + 1);
	put_attr(cl->ident, UBUS_ATTR_GROUP, group.c_str(), group.size() + 1);
	return true;
}

constexpr int accept_retry_ms = 100;

void listen_retry_cb(struct uloop_timeout *t)
{
	struct busd_listener *l = container_of(t, struct busd_listener, retry);
	uloop_fd_add(&l->fd, ULOOP_READ);
}

void listen_cb(struct uloop_fd *u, unsigned int)
{
	struct busd *d = container_of(u, struct busd_listener, fd)->d;
	for (;;) {
		int fd = accept4(u->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
		if (fd < 0) {
			if (errno == EINTR || errno == ECONNABORTED)
				continue;
			if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS ||
			    errno == ENOMEM) {
				// The waiting connection stays ready: listening on would
				// spin. Pause and try again shortly.
				uloop_fd_delete(u);
				uloop_timeout_set(&d->listen.retry, accept_retry_ms);
			}
			break;
		}
		auto cl = std::make_unique<busd_client>();
		cl->sock = {};
		cl->sock.fd = fd;
		cl->sock.cb = client_cb;
		cl->d = d;
		if (!client_identity(cl.get())) {
			close(fd);
			continue;
		}
		cl->id = new_id(d->clients);
		busd_client *c = cl.get();
		d->clients[c->id] = std::move(cl);
		if (uloop_fd_add(&c->sock, ULOOP_READ) < 0) {
			kill_client(c);
			continue;
		}
		uint8_t body[4] = {0, 0, 0, 4};
		client_send(c, UBUS_MSG_HELLO, 0, c->id, body, sizeof(body));
	}
	settle(d);
}

} // namespace busd_internal
