// The event loop: millisecond timers on the monotonic clock and descriptor
// watchers, run on one thread.
//
// Each thread has its own loop (the state is thread-local), so a test can run
// a broker on one thread and a client on another. Everything below acts on
// the calling thread's loop.
//
// Timers and watchers are records embedded in their owner; the loop links
// them but never owns or frees them. A callback finds its owner with
// container_of on the member's address. The loop takes a timer off its list
// before calling its callback, so the callback may re-arm it, cancel others,
// or free the owner (but must not touch the timer after freeing it).
#pragma once

#include <sys/time.h>

#include <cstdint>

#include "bus/list.h"

#ifdef __cplusplus
extern "C" {
#endif

struct uloop_fd;
struct uloop_timeout;

typedef void (*uloop_fd_handler)(struct uloop_fd *u, unsigned int events);
typedef void (*uloop_timeout_handler)(struct uloop_timeout *t);

#define ULOOP_READ (1 << 0)
#define ULOOP_WRITE (1 << 1)
#define ULOOP_EDGE_TRIGGER (1 << 2)
#define ULOOP_BLOCKING (1 << 3)
// The watcher wants its callback on error/hang-up instead of being
// unregistered silently.
#define ULOOP_ERROR_CB (1 << 6)

struct uloop_fd {
	uloop_fd_handler cb;
	int fd;
	bool eof;       // the peer closed its end (read side)
	bool error;     // error or hang-up seen
	bool registered;
	uint8_t flags;
};

struct uloop_timeout {
	struct list_head list;
	bool pending;           // armed
	uloop_timeout_handler cb;
	struct timeval time;    // monotonic expiry
};

// Sets up the calling thread's loop. On the process's main thread it also
// installs SIGINT/SIGTERM handlers (only where their disposition is still
// the default) that end that thread's loop while it runs; a signal that
// comes while it does not run is dropped. SIGPIPE is left alone.
// Returns 0, or -1 when the poll descriptor cannot be created.
int uloop_init(void);
// The same, but never taking the signals, even on the main thread.
int uloop_init_nosignals(void);

// Releases the loop: restores the signal handlers, disarms every timer,
// forgets every watcher (their owners are not told).
void uloop_done(void);

// timeout < 0: run until uloop_end() or SIGINT/SIGTERM; returns the signal
// number that ended it, else 0.
// timeout >= 0: one iteration (due timers, then wait at most `timeout` ms for
// descriptor events, dispatch one ready watcher) and return 0.
int uloop_run_timeout(int timeout);
static inline int uloop_run(void)
{
	return uloop_run_timeout(-1);
}

// Ends a running loop after the current callback. A call made while no loop
// runs is lost: running clears the flag on entry.
void uloop_end(void);

// True only inside uloop_run after uloop_end() was called.
bool uloop_cancelling(void);
// How many times uloop_end() was called on this thread. A synchronous bus
// call gives up its wait when it changes meanwhile: a stop signal whose
// handler ends the loop must not sit out the call's time-out first.
unsigned int uloop_end_count(void);

// Watches `sock->fd` for the events in `flags` (ULOOP_READ, ...). The
// descriptor is set non-blocking unless ULOOP_BLOCKING is given. Adding a
// registered watcher again updates its flags. Returns 0 or -1.
int uloop_fd_add(struct uloop_fd *sock, unsigned int flags);
// Stops watching. Returns 0, or -1 when the watcher was not registered.
int uloop_fd_delete(struct uloop_fd *sock);

// Arms an unarmed timer `timeout->time` must already be set; mostly internal.
int uloop_timeout_add(struct uloop_timeout *timeout);
// Arms (or re-arms) the timer to fire `msecs` milliseconds from now.
int uloop_timeout_set(struct uloop_timeout *timeout, int msecs);
// Disarms. Returns 0, or -1 when the timer was not armed.
int uloop_timeout_cancel(struct uloop_timeout *timeout);
// Milliseconds until the timer fires, or -1 when it is not armed.
int uloop_timeout_remaining(struct uloop_timeout *timeout);
// The same with 64-bit range.
int64_t uloop_timeout_remaining64(struct uloop_timeout *timeout);

#ifdef __cplusplus
}
#endif
