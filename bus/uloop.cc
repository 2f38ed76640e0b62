#include "bus/uloop.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace {

constexpr int max_events = 10;

struct fd_event {
	struct uloop_fd *fd;
	unsigned int events;
};

// A watcher whose callback is running; events that arrive for it from a
// nested loop are folded into the running call instead of re-entering it.
struct fd_stack {
	struct fd_stack *next;
	struct uloop_fd *fd;
	unsigned int events;
};

struct loop_state {
	int poll_fd = -1;
	struct list_head timeouts = LIST_HEAD_INIT(timeouts);
	fd_event cur_fds[max_events];
	int cur_fd = 0;
	int cur_nfds = 0;
	fd_stack *stack = nullptr;
	int run_depth = 0;
	bool cancelled = false;
	unsigned int end_count = 0;
	int status = 0;
	// This loop installed the process's SIGINT/SIGTERM handlers and is the
	// one they end.
	bool owns_signals = false;
	int waker_fd = -1;
	struct sigaction old_int, old_term;
};

thread_local loop_state loop;

// Written from the signal handler, which may run on any thread; only the
// loop owning the signals reads them.
std::atomic<int> signal_pending{0};
std::atomic<int> signal_waker{-1};
std::atomic<bool> signals_taken{false};

void signal_handler(int signo)
{
	int saved = errno;
	signal_pending.store(signo);
	int w = signal_waker.load();
	if (w >= 0) {
		uint64_t one = 1;
		ssize_t r = write(w, &one, sizeof(one));
		(void)r;
	}
	errno = saved;
}

bool install_handler(int signo, struct sigaction *old)
{
	struct sigaction cur;
	if (sigaction(signo, nullptr, &cur) < 0 || cur.sa_handler != SIG_DFL)
		return false;
	struct sigaction sa = {};
	sa.sa_handler = signal_handler;
	sigemptyset(&sa.sa_mask);
	if (sigaction(signo, &sa, old) < 0)
		return false;
	return true;
}

void take_signals()
{
	// Signals belong to the process's main loop; helper threads (an
	// in-process broker, simulated peers) run loops that must not swallow
	// them.
	if (gettid() != getpid())
		return;
	bool expected = false;
	if (!signals_taken.compare_exchange_strong(expected, true))
		return;
	loop.waker_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
	if (loop.waker_fd >= 0) {
		struct epoll_event ev = {};
		ev.events = EPOLLIN;
		ev.data.ptr = nullptr;
		epoll_ctl(loop.poll_fd, EPOLL_CTL_ADD, loop.waker_fd, &ev);
	}
	signal_waker.store(loop.waker_fd);
	signal_pending.store(0);
	bool got_int = install_handler(SIGINT, &loop.old_int);
	bool got_term = install_handler(SIGTERM, &loop.old_term);
	if (!got_int)
		loop.old_int.sa_handler = SIG_ERR;
	if (!got_term)
		loop.old_term.sa_handler = SIG_ERR;
	loop.owns_signals = true;
}

void release_signals()
{
	if (!loop.owns_signals)
		return;
	if (loop.old_int.sa_handler != SIG_ERR)
		sigaction(SIGINT, &loop.old_int, nullptr);
	if (loop.old_term.sa_handler != SIG_ERR)
		sigaction(SIGTERM, &loop.old_term, nullptr);
	signal_waker.store(-1);
	if (loop.waker_fd >= 0)
		close(loop.waker_fd);
	loop.waker_fd = -1;
	loop.owns_signals = false;
	signals_taken.store(false);
}

void drain_waker()
{
	if (loop.waker_fd < 0)
		return;
	uint64_t v;
	while (read(loop.waker_fd, &v, sizeof(v)) > 0)
		;
}

// A signal counts only for the loop that owns the handlers.
void check_signal()
{
	if (!loop.owns_signals)
		return;
	int signo = signal_pending.exchange(0);
	if (signo) {
		loop.status = signo;
		loop.cancelled = true;
	}
}

void now_tv(struct timeval *tv)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	tv->tv_sec = ts.tv_sec;
	tv->tv_usec = ts.tv_nsec / 1000;
}

// Difference in milliseconds; timers compare at that resolution, so timers
// due within the same millisecond keep the order they were armed in.
int64_t tv_diff(const struct timeval *t1, const struct timeval *t2)
{
	return (int64_t)(t1->tv_sec - t2->tv_sec) * 1000 + (t1->tv_usec - t2->tv_usec) / 1000;
}

int register_poll(struct uloop_fd *fd, unsigned int flags)
{
	struct epoll_event ev = {};
	if (flags & ULOOP_READ)
		ev.events |= EPOLLIN | EPOLLRDHUP;
	if (flags & ULOOP_WRITE)
		ev.events |= EPOLLOUT;
	if (flags & ULOOP_EDGE_TRIGGER)
		ev.events |= EPOLLET;
	ev.data.ptr = fd;
	return epoll_ctl(loop.poll_fd, fd->registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd->fd,
			 &ev);
}

int fetch_events(int timeout)
{
	struct epoll_event events[max_events];
	int nfds = epoll_wait(loop.poll_fd, events, max_events, timeout);
	if (nfds < 0)
		return 0;
	int out = 0;
	for (int n = 0; n < nfds; n++) {
		struct uloop_fd *u = static_cast<struct uloop_fd *>(events[n].data.ptr);
		if (!u) {
			drain_waker();
			continue;
		}
		uint32_t e = events[n].events;
		fd_event *cur = &loop.cur_fds[out];
		// An error or hang-up unregisters the watcher before its callback
		// runs, unless it asked to handle those itself.
		if (e & (EPOLLERR | EPOLLHUP)) {
			u->error = true;
			if (!(u->flags & ULOOP_ERROR_CB))
				uloop_fd_delete(u);
		}
		if (!(e & (EPOLLRDHUP | EPOLLIN | EPOLLOUT | EPOLLERR | EPOLLHUP)))
			continue;
		if (e & EPOLLRDHUP)
			u->eof = true;
		unsigned int ev = 0;
		if (e & EPOLLIN)
			ev |= ULOOP_READ;
		if (e & EPOLLOUT)
			ev |= ULOOP_WRITE;
		cur->fd = u;
		cur->events = ev;
		out++;
	}
	return out;
}

bool fold_into_running(struct uloop_fd *fd, unsigned int events)
{
	for (fd_stack *s = loop.stack; s; s = s->next) {
		if (s->fd != fd)
			continue;
		s->events |= events;
		return true;
	}
	return false;
}

void run_events(int timeout)
{
	if (!loop.cur_nfds) {
		loop.cur_fd = 0;
		loop.cur_nfds = fetch_events(timeout);
	}
	while (loop.cur_nfds > 0) {
		fd_event *cur = &loop.cur_fds[loop.cur_fd++];
		loop.cur_nfds--;
		struct uloop_fd *fd = cur->fd;
		unsigned int events = cur->events;
		if (!fd || !fd->cb)
			continue;
		if (fold_into_running(fd, events))
			continue;
		fd_stack st = {loop.stack, fd, 0};
		loop.stack = &st;
		do {
			st.events = 0;
			fd->cb(fd, events);
			events = st.events & (ULOOP_READ | ULOOP_WRITE);
		} while (st.fd && events);
		loop.stack = st.next;
		return;
	}
}

void process_timeouts()
{
	if (list_empty(&loop.timeouts))
		return;
	struct timeval tv;
	now_tv(&tv);
	while (!list_empty(&loop.timeouts)) {
		struct uloop_timeout *t =
			list_first_entry(&loop.timeouts, struct uloop_timeout, list);
		if (tv_diff(&t->time, &tv) > 0)
			break;
		uloop_timeout_cancel(t);
		if (t->cb)
			t->cb(t);
	}
}

int next_timeout()
{
	if (list_empty(&loop.timeouts))
		return -1;
	struct timeval tv;
	now_tv(&tv);
	struct uloop_timeout *t = list_first_entry(&loop.timeouts, struct uloop_timeout, list);
	int64_t diff = tv_diff(&t->time, &tv);
	if (diff < 0)
		return 0;
	if (diff > INT32_MAX)
		return INT32_MAX;
	return (int)diff;
}

} // namespace

int uloop_init_nosignals(void)
{
	if (loop.poll_fd >= 0)
		return 0;
	loop.poll_fd = epoll_create1(EPOLL_CLOEXEC);
	if (loop.poll_fd < 0)
		return -1;
	INIT_LIST_HEAD(&loop.timeouts);
	loop.cur_nfds = 0;
	loop.cur_fd = 0;
	return 0;
}

int uloop_init(void)
{
	// A second call leaves the signals as the first one set them.
	if (loop.poll_fd >= 0)
		return 0;
	if (uloop_init_nosignals() < 0)
		return -1;
	take_signals();
	return 0;
}

void uloop_done(void)
{
	release_signals();
	if (loop.poll_fd >= 0)
		close(loop.poll_fd);
	loop.poll_fd = -1;
	while (!list_empty(&loop.timeouts))
		uloop_timeout_cancel(list_first_entry(&loop.timeouts, struct uloop_timeout, list));
	loop.cur_nfds = 0;
	loop.cur_fd = 0;
}

int uloop_run_timeout(int timeout)
{
	loop.run_depth++;
	loop.status = 0;
	loop.cancelled = false;
	if (loop.owns_signals) {
		// A signal that came while nothing ran is not carried over.
		signal_pending.store(0);
		drain_waker();
	}
	do {
		process_timeouts();
		check_signal();
		if (loop.cancelled)
			break;
		int next = next_timeout();
		if (timeout >= 0 && (next < 0 || timeout < next))
			next = timeout;
		run_events(next);
		check_signal();
	} while (!loop.cancelled && timeout < 0);
	loop.run_depth--;
	return loop.status;
}

void uloop_end(void)
{
	loop.cancelled = true;
	loop.end_count++;
}

unsigned int uloop_end_count(void)
{
	return loop.end_count;
}

bool uloop_cancelling(void)
{
	return loop.run_depth > 0 && loop.cancelled;
}

int uloop_fd_add(struct uloop_fd *sock, unsigned int flags)
{
	if (!(flags & (ULOOP_READ | ULOOP_WRITE)))
		return uloop_fd_delete(sock);
	if (loop.poll_fd < 0)
		return -1;
	if (!sock->registered && !(flags & ULOOP_BLOCKING)) {
		int fl = fcntl(sock->fd, F_GETFL, 0);
		if (fl >= 0)
			fcntl(sock->fd, F_SETFL, fl | O_NONBLOCK);
	}
	if (register_poll(sock, flags) < 0)
		return -1;
	sock->flags = (uint8_t)flags;
	sock->registered = true;
	sock->eof = false;
	sock->error = false;
	return 0;
}

int uloop_fd_delete(struct uloop_fd *sock)
{
	// Forget events already fetched for it: its owner may free it next.
	for (int i = 0; i < loop.cur_nfds; i++) {
		if (loop.cur_fds[loop.cur_fd + i].fd == sock)
			loop.cur_fds[loop.cur_fd + i].fd = nullptr;
	}
	for (fd_stack *s = loop.stack; s; s = s->next) {
		if (s->fd == sock)
			s->fd = nullptr;
	}
	if (!sock->registered)
		return -1;
	sock->registered = false;
	if (loop.poll_fd >= 0)
		epoll_ctl(loop.poll_fd, EPOLL_CTL_DEL, sock->fd, nullptr);
	return 0;
}

int uloop_timeout_add(struct uloop_timeout *timeout)
{
	if (timeout->pending)
		return -1;
	struct list_head *h = &loop.timeouts;
	struct uloop_timeout *tmp;
	list_for_each_entry(tmp, &loop.timeouts, list)
	{
		if (tv_diff(&tmp->time, &timeout->time) > 0) {
			h = &tmp->list;
			break;
		}
	}
	list_add_tail(&timeout->list, h);
	timeout->pending = true;
	return 0;
}

int uloop_timeout_set(struct uloop_timeout *timeout, int msecs)
{
	if (timeout->pending)
		uloop_timeout_cancel(timeout);
	struct timeval *time = &timeout->time;
	now_tv(time);
	int64_t usec = (int64_t)time->tv_usec + (int64_t)(msecs % 1000) * 1000;
	time->tv_sec += msecs / 1000;
	if (usec < 0) {
		usec += 1000000;
		time->tv_sec--;
	} else if (usec >= 1000000) {
		usec -= 1000000;
		time->tv_sec++;
	}
	time->tv_usec = usec;
	return uloop_timeout_add(timeout);
}

int uloop_timeout_cancel(struct uloop_timeout *timeout)
{
	if (!timeout->pending)
		return -1;
	list_del(&timeout->list);
	timeout->pending = false;
	return 0;
}

int64_t uloop_timeout_remaining64(struct uloop_timeout *timeout)
{
	if (!timeout->pending)
		return -1;
	struct timeval now;
	now_tv(&now);
	return tv_diff(&timeout->time, &now);
}

int uloop_timeout_remaining(struct uloop_timeout *timeout)
{
	int64_t r = uloop_timeout_remaining64(timeout);
	if (r > INT32_MAX)
		return INT32_MAX;
	if (r < INT32_MIN)
		return INT32_MIN;
	return (int)r;
}
