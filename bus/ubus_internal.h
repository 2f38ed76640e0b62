// The bus client's own records, shared by its files and seen by no caller:
//   ubus.cc          the connection: buffers, framing, sending, the loop's
//                    callbacks, connect and free, the connection-lost path
//   ubus_request.cc  synchronous and asynchronous requests, lookups
//   ubus_object.cc   the object table, method calls and their replies
//   ubus_event.cc    sending events, event handlers
// The functions are hidden: a shared library built from these files
// exports the API of ubus.h alone.
#pragma once

#include <cstdlib>

#include "bus/ubus.h"
#include "bus/ubusmsg.h"

namespace ubus_internal {

// The router's own library differs from ours in two respects a caller
// meets: a synchronous wait ends only with its reply, its time-out or the
// end of the connection (uloop_end is not looked at), and every reply is
// handed over as soon as it is read, those of asynchronous requests too,
// nested inside whatever synchronous call is waiting. Built with
// AIRCOORD_BUS_ROUTER_MODE, the client behaves like it, so that the daemon
// can be run against such a library without a router.
#ifdef AIRCOORD_BUS_ROUTER_MODE
constexpr bool router_mode = true;
#else
constexpr bool router_mode = false;
#endif

// One received message, pointing into the receive buffer or a queued copy.
struct frame {
	uint8_t type;
	uint16_t seq;
	uint32_t peer;
	const uint8_t *raw; // header onwards
	size_t raw_len;     // header + root
	struct blob_attr *tb[UBUS_ATTR_MAX];
};

// A message copied out of the receive buffer to be handled later, on a
// singly-linked FIFO; each one is a single malloc'd block.
struct queued_msg {
	struct queued_msg *next;
	size_t len;
	uint8_t data[];
};

struct msg_queue {
	struct queued_msg *head;
	struct queued_msg *tail;
};

// The context's objects by id, sorted for a binary search: a client has
// few of them, and lookups (one per incoming call) far outnumber changes.
struct object_slot {
	uint32_t id;
	struct ubus_object *obj;
};

enum req_kind {
	REQ_INVOKE,
	REQ_LOOKUP,
	REQ_OBJECT, // add/remove object: collects OBJID and OBJTYPE
	REQ_ASYNC,  // a wait for the asynchronous request `user`
};

// A synchronous request waiting for its STATUS. Lives on the stack of the
// call that made it and sits on the context's request list meanwhile.
struct sync_req {
	struct ubus_request req;
	struct list_head list;
	req_kind kind;
	bool in_cb;
	// DATA that came while this request's callback ran, replayed in
	// arrival order once it returns.
	msg_queue held;
	ubus_lookup_handler_t lookup_cb;
	void *lookup_priv;
	struct ubus_request *user;
	uint32_t id;
	uint32_t type_id;
	bool have_id;
	bool have_type;
};

} // namespace ubus_internal

// Allocated zero-filled by ubus_connect, released by ubus_free; every
// buffer below is a plain malloc'd block owned by the context.
struct ubus_context_impl {
	struct ubus_context ctx;
	uint16_t request_seq;
	// Synchronous calls and object handlers in progress; while non-zero,
	// incoming invocations are queued.
	int stack_depth;
	bool eof;
	bool lost_reported;

	uint8_t *rbuf;
	size_t rcap;
	size_t rstart;
	size_t rend;
	// Messages handed to handlers that still point into rbuf: the buffer
	// must not move under them, so a read that needs room then switches
	// to a new buffer and retires the old one until they are done.
	int rbusy;
	uint8_t **retired;
	size_t n_retired;
	size_t retired_cap;

	struct blob_buf b;
	struct blob_buf args;
	// Replies of the handler being run, written together with its STATUS
	// (or with the next message that has to go out first).
	uint8_t *out;
	size_t out_len;
	size_t out_cap;
	int cork;

	struct list_head requests;
	ubus_internal::object_slot *objects;
	size_t n_objects;
	size_t objects_cap;
	ubus_internal::msg_queue pending;
	struct uloop_timeout pending_timer;
	// Asynchronous requests in flight (struct ubus_request.list), and the
	// timer that hands them what they hold once the loop is back at its
	// top level.
	struct list_head async_reqs;
	struct uloop_timeout async_timer;
};

// A reply held for an asynchronous request; the message follows it.
struct ubus_held_msg {
	struct ubus_held_msg *next;
	size_t len;
};

namespace ubus_internal __attribute__((visibility("hidden"))) {

// --- the connection (ubus.cc)

inline bool queue_empty(const msg_queue *q)
{
	return !q->head;
}

// Appends a copy of the `len` bytes at `p`; false when memory runs out.
bool queue_push(msg_queue *q, const uint8_t *p, size_t len);
// Takes the oldest message off the queue; the caller frees it.
queued_msg *queue_pop(msg_queue *q);

void frame_parse(frame *f, const uint8_t *p, size_t len);
// Reads once from the socket. Returns > 0 for bytes read, 0 when nothing
// was there, -1 on end of file or error (c->eof is set).
ssize_t rx_read(ubus_context_impl *c);
// Whether a complete message waits in the receive buffer.
bool rx_has_frame(ubus_context_impl *c);
// Handles every complete message in the receive buffer; with `stop_on_end`
// it stops once the running loop is being ended.
void process_buffered(ubus_context_impl *c, bool stop_on_end);
// Handles the queued invocations and events while no call is in progress.
void process_pending(ubus_context_impl *c);
// Has the queued messages handled from the loop.
void arm_pending(ubus_context_impl *c);
// Sends one message whose body is the root `body`; with `hold` it is only
// appended to the replies of the running handler. Replies held back go out
// first, in the same write. Returns -1 when the connection is gone.
int send_msg(ubus_context_impl *c, uint8_t type, uint16_t seq, uint32_t peer,
	     const struct blob_attr *body, bool hold);
// Writes the replies held back by the handlers.
int flush_out(ubus_context_impl *c);

// Buffers are kept between messages, up to this size: one large reply
// must not hold its memory for the rest of the process.
constexpr size_t KEEP_BUFFER_MAX = 16384;

// Gives back an emptied output buffer that a large reply grew.
inline void release_out(ubus_context_impl *c)
{
	if (!c->out_len && c->out_cap > KEEP_BUFFER_MAX) {
		free(c->out);
		c->out = nullptr;
		c->out_cap = 0;
	}
}

// Gives back the buffers a large message grew. Inline, as put_members: both
// are on the path of every reply.
inline void release_large_buffers(ubus_context_impl *c)
{
	release_out(c);
	if (static_cast<size_t>(c->b.buflen) > KEEP_BUFFER_MAX)
		blob_buf_free(&c->b);
}

// Appends attribute `id` holding the members of the root `msg` (none when
// msg is null).
inline bool put_members(struct blob_buf *b, int id, struct blob_attr *msg)
{
	return blob_put(b, id, msg ? blob_data(msg) : nullptr, msg ? blob_len(msg) : 0) != nullptr;
}
// Tells the owner once that the connection is lost (connection_lost, or
// the end of the loop) and ends the asynchronous requests.
void report_lost(ubus_context_impl *c);

// --- requests (ubus_request.cc)

// A STATUS or DATA message: to the synchronous request it answers, else to
// an asynchronous one.
void process_req_msg(ubus_context_impl *c, frame *f);
// Sends the message in c->b as a request and waits for its STATUS; returns
// the status code.
int sync_request(ubus_context_impl *c, sync_req *r, uint8_t type, uint32_t peer, int timeout);
void async_timer_cb(struct uloop_timeout *t);
// The connection is lost: the asynchronous requests in flight end.
void async_lost(ubus_context_impl *c);
// Forgets every asynchronous request, without callbacks.
void async_drop_all(ubus_context_impl *c);

// --- objects (ubus_object.cc)

// An invocation of one of our objects (other object messages are
// ignored); counts as a call in progress while its handler runs.
void process_obj_msg(ubus_context_impl *c, frame *f);

} // namespace ubus_internal
