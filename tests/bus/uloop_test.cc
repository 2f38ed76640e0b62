#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "bus/uloop.h"

namespace {

class Uloop : public ::testing::Test {
protected:
	void SetUp() override { ASSERT_EQ(uloop_init(), 0); }
	void TearDown() override { uloop_done(); }
};

// A timer that logs its name when it fires.
struct Named {
	struct uloop_timeout t = {};
	std::string name;
	std::vector<std::string> *log;
};

void log_cb(struct uloop_timeout *t)
{
	Named *n = container_of(t, Named, t);
	n->log->push_back(n->name);
}

void end_cb(struct uloop_timeout *)
{
	uloop_end();
}

TEST_F(Uloop, TimerCallsFollowExpiryThenArmingOrder)
{
	std::vector<std::string> log;
	Named a{{}, "a", &log}, b{{}, "b", &log}, c{{}, "c", &log}, d{{}, "d", &log};
	for (Named *n : {&a, &b, &c, &d})
		n->t.cb = log_cb;
	uloop_timeout_set(&a.t, 30);
	uloop_timeout_set(&b.t, 10);
	uloop_timeout_set(&c.t, 20);
	uloop_timeout_set(&d.t, 10);
	struct uloop_timeout end = {};
	end.cb = end_cb;
	uloop_timeout_set(&end, 40);
	EXPECT_EQ(uloop_run(), 0);
	EXPECT_EQ(log, (std::vector<std::string>{"b", "d", "c", "a"}));
}

TEST_F(Uloop, ArmingRulesAndRemainingTime)
{
	struct uloop_timeout t = {};
	EXPECT_EQ(uloop_timeout_remaining(&t), -1);
	EXPECT_EQ(uloop_timeout_cancel(&t), -1);
	EXPECT_EQ(uloop_timeout_set(&t, 5000), 0);
	int left = uloop_timeout_remaining(&t);
	EXPECT_LE(left, 5000);
	EXPECT_GT(left, 4000);
	// Setting again re-arms with the new time.
	EXPECT_EQ(uloop_timeout_set(&t, 100000), 0);
	EXPECT_GT(uloop_timeout_remaining64(&t), 90000);
	// Adding an armed timer changes nothing.
	EXPECT_EQ(uloop_timeout_add(&t), -1);
	EXPECT_GT(uloop_timeout_remaining(&t), 90000);
	EXPECT_EQ(uloop_timeout_cancel(&t), 0);
	EXPECT_FALSE(t.pending);
	EXPECT_EQ(uloop_timeout_remaining(&t), -1);
}

TEST_F(Uloop, ZeroTimerFiresAtTheNextTurnNotInsideSet)
{
	static int fired;
	fired = 0;
	struct uloop_timeout t = {};
	t.cb = [](struct uloop_timeout *) { fired++; };
	uloop_timeout_set(&t, 0);
	EXPECT_EQ(fired, 0);
	uloop_run_timeout(0);
	EXPECT_EQ(fired, 1);
	EXPECT_EQ(uloop_timeout_remaining(&t), -1);
}

TEST_F(Uloop, TimerIsDisarmedBeforeItsCallbackAndMayRearm)
{
	struct Rearming {
		struct uloop_timeout t;
		int runs;
		bool pending_in_cb;
	};
	static Rearming r;
	r = {};
	r.t.cb = [](struct uloop_timeout *t) {
		Rearming *self = container_of(t, Rearming, t);
		self->pending_in_cb = t->pending || uloop_timeout_remaining(t) != -1;
		if (++self->runs < 3)
			uloop_timeout_set(t, 1000);
	};
	uloop_timeout_set(&r.t, 0);
	uloop_run_timeout(0);
	EXPECT_EQ(r.runs, 1);
	EXPECT_FALSE(r.pending_in_cb);
	int left = uloop_timeout_remaining(&r.t);
	EXPECT_GT(left, 900);
	EXPECT_LE(left, 1000);
	// Driving the callback directly shows what it arms.
	uloop_timeout_cancel(&r.t);
	r.t.cb(&r.t);
	EXPECT_EQ(r.runs, 2);
	EXPECT_GT(uloop_timeout_remaining(&r.t), 900);
	uloop_timeout_cancel(&r.t);
	r.t.cb(&r.t);
	EXPECT_EQ(r.runs, 3);
	EXPECT_EQ(uloop_timeout_remaining(&r.t), -1);
}

TEST_F(Uloop, EndBeforeRunIsLost)
{
	uloop_end();
	EXPECT_FALSE(uloop_cancelling());
	static bool ended_by_timer;
	ended_by_timer = false;
	struct uloop_timeout t = {};
	t.cb = [](struct uloop_timeout *) {
		ended_by_timer = true;
		EXPECT_FALSE(uloop_cancelling());
		uloop_end();
		EXPECT_TRUE(uloop_cancelling());
	};
	uloop_timeout_set(&t, 5);
	EXPECT_EQ(uloop_run(), 0);
	EXPECT_TRUE(ended_by_timer);
	EXPECT_FALSE(uloop_cancelling());
}

// A socket pair whose first end is watched.
struct Watched {
	struct uloop_fd fd = {};
	int other = -1;
	std::vector<unsigned int> events;
	std::vector<bool> registered_in_cb;
};

void watched_cb(struct uloop_fd *u, unsigned int events)
{
	Watched *w = container_of(u, Watched, fd);
	w->events.push_back(events);
	w->registered_in_cb.push_back(u->registered);
	char buf[64];
	while (read(u->fd, buf, sizeof(buf)) > 0)
		;
}

void make_pair(Watched *w, unsigned int flags)
{
	int sv[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
	w->fd.fd = sv[0];
	w->fd.cb = watched_cb;
	w->other = sv[1];
	ASSERT_EQ(uloop_fd_add(&w->fd, flags), 0);
}

void close_pair(Watched *w)
{
	uloop_fd_delete(&w->fd);
	close(w->fd.fd);
	if (w->other >= 0)
		close(w->other);
}

TEST_F(Uloop, OneIterationDispatchesOneReadyWatcher)
{
	Watched a, b;
	make_pair(&a, ULOOP_READ);
	make_pair(&b, ULOOP_READ);
	ASSERT_EQ(write(a.other, "x", 1), 1);
	ASSERT_EQ(write(b.other, "y", 1), 1);
	uloop_run_timeout(1000);
	EXPECT_EQ(a.events.size() + b.events.size(), 1u);
	// The other one comes next, from the events already fetched.
	uloop_run_timeout(0);
	EXPECT_EQ(a.events, std::vector<unsigned int>{ULOOP_READ});
	EXPECT_EQ(b.events, std::vector<unsigned int>{ULOOP_READ});
	close_pair(&a);
	close_pair(&b);
}

TEST_F(Uloop, WatcherDeletedByAnEarlierCallbackIsNotCalled)
{
	// Two ready watchers, each deleting the other: whichever runs first,
	// the other's already fetched event must be dropped.
	struct Pair {
		struct uloop_fd fd;
		int other;
		int calls;
		Pair *peer;
	};
	static Pair p[2];
	for (int i = 0; i < 2; i++) {
		int sv[2];
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
		p[i] = {};
		p[i].fd.fd = sv[0];
		p[i].other = sv[1];
		p[i].peer = &p[1 - i];
		p[i].fd.cb = [](struct uloop_fd *u, unsigned int) {
			Pair *self = container_of(u, Pair, fd);
			char c;
			while (read(u->fd, &c, 1) > 0)
				;
			self->calls++;
			uloop_fd_delete(&self->peer->fd);
		};
		ASSERT_EQ(uloop_fd_add(&p[i].fd, ULOOP_READ), 0);
		ASSERT_EQ(write(p[i].other, "x", 1), 1);
	}
	uloop_run_timeout(1000);
	uloop_run_timeout(0);
	uloop_run_timeout(0);
	EXPECT_EQ(p[0].calls + p[1].calls, 1);
	for (Pair &q : p) {
		uloop_fd_delete(&q.fd);
		close(q.fd.fd);
		close(q.other);
	}
}

TEST_F(Uloop, HangUpUnregistersTheWatcherUnlessItAskedForErrors)
{
	struct Case {
		const char *what;
		unsigned int flags;
		bool registered_in_cb;
	};
	const Case cases[] = {
		{"plain reader", ULOOP_READ, false},
		{"reader with error callback", ULOOP_READ | ULOOP_ERROR_CB, true},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		Watched w;
		make_pair(&w, c.flags);
		close(w.other);
		w.other = -1;
		uloop_run_timeout(1000);
		ASSERT_EQ(w.events.size(), 1u);
		EXPECT_EQ(w.registered_in_cb[0], c.registered_in_cb);
		EXPECT_TRUE(w.fd.error);
		EXPECT_TRUE(w.fd.eof);
		close_pair(&w);
	}
}

TEST_F(Uloop, WatcherIsMadeNonBlockingUnlessAskedNotTo)
{
	for (unsigned int flags : {ULOOP_READ, ULOOP_READ | ULOOP_BLOCKING}) {
		Watched w;
		make_pair(&w, flags);
		bool nonblocking = fcntl(w.fd.fd, F_GETFL) & O_NONBLOCK;
		EXPECT_EQ(nonblocking, !(flags & ULOOP_BLOCKING));
		close_pair(&w);
	}
}

TEST_F(Uloop, RunWithTimeLimitReturnsAfterOneIdleWait)
{
	static bool fired;
	fired = false;
	struct uloop_timeout late = {};
	late.cb = [](struct uloop_timeout *) { fired = true; };
	uloop_timeout_set(&late, 60000);
	EXPECT_EQ(uloop_run_timeout(10), 0);
	EXPECT_FALSE(fired);
	uloop_timeout_cancel(&late);
}

TEST(UloopSignals, TermEndsARunningLoopOnlyWhileItRuns)
{
	struct sigaction before;
	sigaction(SIGTERM, nullptr, &before);
	ASSERT_EQ(before.sa_handler, SIG_DFL);
	ASSERT_EQ(uloop_init(), 0);
	struct sigaction pipe_disp;
	sigaction(SIGPIPE, nullptr, &pipe_disp);
	EXPECT_EQ(pipe_disp.sa_handler, SIG_DFL);

	// Before the loop runs the signal is swallowed and forgotten.
	raise(SIGTERM);
	struct uloop_timeout t = {};
	t.cb = end_cb;
	uloop_timeout_set(&t, 5);
	EXPECT_EQ(uloop_run(), 0);

	// While it runs, a signal from another thread wakes it from an idle
	// wait with nothing else to do.
	static std::thread sender;
	struct uloop_timeout start = {};
	start.cb = [](struct uloop_timeout *) {
		sender = std::thread([] { kill(getpid(), SIGTERM); });
	};
	uloop_timeout_set(&start, 0);
	EXPECT_EQ(uloop_run(), SIGTERM);
	sender.join();

	uloop_done();
	struct sigaction after;
	sigaction(SIGTERM, nullptr, &after);
	EXPECT_EQ(after.sa_handler, SIG_DFL);
}

TEST(UloopSignals, HelperThreadsLeaveTheSignalsToTheMainThread)
{
	struct sigaction seen = {};
	std::thread helper([&] {
		uloop_init();
		sigaction(SIGTERM, nullptr, &seen);
		uloop_done();
	});
	helper.join();
	EXPECT_EQ(seen.sa_handler, SIG_DFL);
}

TEST(UloopSignals, HandlersAreLeftAloneWhenSomeoneElseSetThem)
{
	struct sigaction ign = {}, old;
	ign.sa_handler = SIG_IGN;
	sigaction(SIGINT, &ign, &old);
	ASSERT_EQ(uloop_init(), 0);
	struct sigaction now;
	sigaction(SIGINT, nullptr, &now);
	EXPECT_EQ(now.sa_handler, SIG_IGN);
	uloop_done();
	sigaction(SIGINT, nullptr, &now);
	EXPECT_EQ(now.sa_handler, SIG_IGN);
	sigaction(SIGINT, &old, nullptr);
}

} // namespace
