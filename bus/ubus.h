// The bus client: one connection to the broker, on the calling thread's loop.
//
// All public records are plain structs, valid when zero-filled, so that they
// can be embedded in records allocated with calloc-like allocators.
//
// Synchronous requests (lookup, invoke, add/remove object, event register,
// event send) write the request, then wait on the bus socket alone: replies
// to this or any other pending request are handled at once (their data
// callbacks run inside the wait), while incoming invocations of our objects
// and event deliveries are queued in arrival order and handled after the
// outermost synchronous call returns, before the loop's next iteration. No
// timer runs during the wait.
//
// A data callback never runs re-entrantly for the same request: DATA for a
// request whose callback is running is held back and delivered, in arrival
// order, after that callback returns.
//
// When the connection is lost, `connection_lost` is called once; the default
// (null) ends the running event loop.
//
// Asynchronous invokes (ubus_invoke_async) never run their callbacks inside
// another bus callback or a synchronous call: their replies are taken at
// once but delivered only from the loop, at its top level, in arrival order
// (see ubus_complete_request_async). Waiting for one with
// ubus_complete_request hands its replies over at once, like a synchronous
// invoke.
//
// Built with AIRCOORD_BUS_ROUTER_MODE (the stand-in for the router's own
// library), the client behaves as that library does instead: a synchronous
// wait ends only with its reply, its time-out or the end of the connection
// (uloop_end() does not end it); the callbacks of asynchronous requests run
// as soon as their replies are read, nested inside a synchronous call or a
// handler if one is running; and when the connection is lost, asynchronous
// requests end at once with UBUS_STATUS_TIMEOUT.
#pragma once

#include <cstdint>

#include "bus/blob.h"
#include "bus/blobmsg.h"
#include "bus/list.h"
#include "bus/uloop.h"
#include "bus/utils.h"

#ifdef __cplusplus
extern "C" {
#endif

#define UBUS_DEFAULT_SOCKET "/var/run/ubus/ubus.sock"
#define UBUS_MAX_MSGLEN 1048576

enum ubus_msg_status {
	UBUS_STATUS_OK,
	UBUS_STATUS_INVALID_COMMAND,
	UBUS_STATUS_INVALID_ARGUMENT,
	UBUS_STATUS_METHOD_NOT_FOUND,
	UBUS_STATUS_NOT_FOUND,
	UBUS_STATUS_NO_DATA,
	UBUS_STATUS_PERMISSION_DENIED,
	UBUS_STATUS_TIMEOUT,
	UBUS_STATUS_NOT_SUPPORTED,
	UBUS_STATUS_UNKNOWN_ERROR,
	UBUS_STATUS_CONNECTION_FAILED,
	UBUS_STATUS_NO_MEMORY,
	UBUS_STATUS_PARSE_ERROR,
	UBUS_STATUS_SYSTEM_ERROR,
	__UBUS_STATUS_LAST
};

struct ubus_context;
struct ubus_object;
struct ubus_request;
struct ubus_request_data;
struct ubus_event_handler;
struct ubus_context_impl;

// One object found by a lookup; valid during the callback only.
struct ubus_object_data {
	uint32_t id;
	uint32_t type_id;
	const char *path;
	struct blob_attr *signature;
};

typedef void (*ubus_lookup_handler_t)(struct ubus_context *ctx, struct ubus_object_data *obj,
				      void *priv);
// Called once per DATA reply; `msg` is the DATA attribute, whose payload is
// the members of the reply table (render it with list = true).
typedef void (*ubus_data_handler_t)(struct ubus_request *req, int type, struct blob_attr *msg);
// Called once when an asynchronous request ends, with its status.
typedef void (*ubus_complete_handler_t)(struct ubus_request *req, int ret);
// A method handler; `msg` is the DATA attribute of the call. Its return value
// becomes the call's status unless the request was deferred.
typedef int (*ubus_handler_t)(struct ubus_context *ctx, struct ubus_object *obj,
			      struct ubus_request_data *req, const char *method,
			      struct blob_attr *msg);
typedef void (*ubus_event_handler_t)(struct ubus_context *ctx, struct ubus_event_handler *ev,
				     const char *type, struct blob_attr *msg);
typedef void (*ubus_connect_handler_t)(struct ubus_context *ctx);

struct ubus_method {
	const char *name; // null: matches every method
	ubus_handler_t handler;
	unsigned long mask; // non-zero: only the policy entries whose bit is set are advertised
	unsigned long tags; // unused here; kept for the router's layout
	const struct blobmsg_policy *policy; // the signature advertised to lookups
	int n_policy;
};

// Brace initialisers of one method table entry; the policy is an array.
#define UBUS_METHOD_MASK(_name, _handler, _policy, _mask)                                          \
	{                                                                                          \
		.name = _name, .handler = _handler, .mask = _mask, .tags = 0, .policy = _policy,   \
		.n_policy = ARRAY_SIZE(_policy)                                                    \
	}
#define UBUS_METHOD(_name, _handler, _policy) UBUS_METHOD_MASK(_name, _handler, _policy, 0)
#define UBUS_METHOD_NOARG(_name, _handler)                                                         \
	{                                                                                          \
		.name = _name, .handler = _handler, .mask = 0, .tags = 0, .policy = NULL,          \
		.n_policy = 0                                                                      \
	}

struct ubus_object_type {
	const char *name;
	uint32_t id;
	const struct ubus_method *methods;
	int n_methods;
};

#define UBUS_OBJECT_TYPE(_name, _methods)                                                          \
	{                                                                                          \
		.name = _name, .id = 0, .methods = _methods, .n_methods = ARRAY_SIZE(_methods)     \
	}

struct ubus_object {
	const char *name; // path; null for unnamed objects (event handlers)
	uint32_t id;      // set by ubus_add_object; 0 while not registered
	const char *path;
	struct ubus_object_type *type;
	const struct ubus_method *methods;
	int n_methods;
	void *priv; // the owner's pointer, untouched by the library
};

// An event handler is an unnamed object whose catch-all method calls `cb`.
// It may carry several patterns; unregistering drops them all.
struct ubus_event_handler {
	struct ubus_object obj;
	ubus_event_handler_t cb;
};

// Identifies an incoming call so that replies reach the caller.
struct ubus_request_data {
	uint32_t object;
	uint32_t peer;
	uint16_t seq;
	bool deferred;
};

struct ubus_held_msg;

// A request of ours; `priv` is what the caller passed. Synchronous calls
// keep theirs on their own stack; an asynchronous invoke uses one that the
// caller owns. Callers set data_cb, complete_cb and priv and read
// status_code; the other members are the library's.
struct ubus_request {
	ubus_data_handler_t data_cb;
	ubus_complete_handler_t complete_cb;
	void *priv;
	uint32_t peer;
	uint16_t seq;
	int status_code;
	bool status_msg;
	bool cancelled;
	// Asynchronous requests only: linked on the context while in flight;
	// replies not handed over yet, oldest first; whether
	// ubus_complete_request_async was called; whether one of its callbacks
	// is running.
	struct list_head list;
	struct ubus_held_msg *held;
	bool complete_async;
	bool in_cb;
};

struct ubus_context {
	struct uloop_fd sock;
	uint32_t local_id;
	void (*connection_lost)(struct ubus_context *ctx);
	struct ubus_context_impl *impl;
};

// Connects to `path` (null: the default socket) and reads the broker's
// greeting. Returns null on failure.
struct ubus_context *ubus_connect(const char *path);
// Closes the connection. Asynchronous requests still in flight are dropped
// without callbacks; their records stay the caller's to release.
void ubus_free(struct ubus_context *ctx);
// Watches the connection's socket in the calling thread's loop.
void ubus_add_uloop(struct ubus_context *ctx);

// Lists objects: path null lists all, a path ending in '*' lists by prefix,
// any other path exactly one. `cb` runs once per object. Returns the status.
int ubus_lookup(struct ubus_context *ctx, const char *path, ubus_lookup_handler_t cb,
		void *priv);
// Looks up one path; returns the status and stores the id on success.
int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id);

// Calls `method` on object `obj` with the members of `msg` (a buffer root,
// e.g. b.head; null sends no arguments) and waits up to `timeout` ms
// (0: forever). Returns the status, UBUS_STATUS_TIMEOUT, or
// UBUS_STATUS_CONNECTION_FAILED.
int ubus_invoke_fd(struct ubus_context *ctx, uint32_t obj, const char *method,
		   struct blob_attr *msg, ubus_data_handler_t cb, void *priv, int timeout,
		   int fd);
static inline int ubus_invoke(struct ubus_context *ctx, uint32_t obj, const char *method,
			      struct blob_attr *msg, ubus_data_handler_t cb, void *priv,
			      int timeout)
{
	return ubus_invoke_fd(ctx, obj, method, msg, cb, priv, timeout, -1);
}

// Sends the same call as ubus_invoke_fd without waiting: 0 once it is
// written, else the status (nothing is in flight then). `req` is zeroed and
// linked to the context; the caller owns it and keeps it alive until the
// request ends: its completion callback has run, ubus_complete_request has
// returned, or ubus_abort_request was called. The caller then sets data_cb,
// complete_cb and priv and calls ubus_complete_request_async, or waits with
// ubus_complete_request. An asynchronous request has no time-out of its own:
// the caller aborts it when it has waited long enough.
int ubus_invoke_async_fd(struct ubus_context *ctx, uint32_t obj, const char *method,
			 struct blob_attr *msg, struct ubus_request *req, int fd);
static inline int ubus_invoke_async(struct ubus_context *ctx, uint32_t obj, const char *method,
				    struct blob_attr *msg, struct ubus_request *req)
{
	return ubus_invoke_async_fd(ctx, obj, method, msg, req, -1);
}
// Lets the request end from the loop: its data callback runs for each DATA
// reply and complete_cb(req, status) once at the end, both only from the
// loop's top level (replies that come during a synchronous call, a handler
// or another request's callback wait until it has returned). complete_cb
// may release `req`; a data callback must not (abort it instead, and
// release it later). When the connection is lost, requests still in flight
// end with UBUS_STATUS_CONNECTION_FAILED from the loop, if it still runs.
void ubus_complete_request_async(struct ubus_context *ctx, struct ubus_request *req);
// Waits up to `timeout` ms (0: forever) for an asynchronous request, as a
// synchronous invoke would, handing its replies (those held back so far
// first) to its data callback at once. The request ends with the wait:
// complete_cb, when set, runs with the status returned (a time-out
// included) and later replies are dropped. A request that is not in flight
// gives its last status, or UBUS_STATUS_INVALID_ARGUMENT when it never had
// one.
int ubus_complete_request(struct ubus_context *ctx, struct ubus_request *req, int timeout);
// Forgets an asynchronous request: no callback runs for it afterwards, and
// its later replies are dropped. Harmless for a request that has ended.
// Aborting it from its own data callback while ubus_complete_request waits
// for it ends no wait early; its completion callback is then not run.
void ubus_abort_request(struct ubus_context *ctx, struct ubus_request *req);

// Sends event `id` with the members of `data` (a buffer root; null: empty).
int ubus_send_event(struct ubus_context *ctx, const char *id, struct blob_attr *data);

// Registers `ev` (adding its object on first use) for `pattern`; a trailing
// '*' matches by prefix. Returns the status.
int ubus_register_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev,
				const char *pattern);
int ubus_unregister_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev);

int ubus_add_object(struct ubus_context *ctx, struct ubus_object *obj);
int ubus_remove_object(struct ubus_context *ctx, struct ubus_object *obj);

// Sends one DATA reply (the members of `msg`, a buffer root) to the caller.
int ubus_send_reply(struct ubus_context *ctx, struct ubus_request_data *req,
		    struct blob_attr *msg);
// Keeps the call open after the handler returns: `new_req` receives what is
// needed to complete it later.
void ubus_defer_request(struct ubus_context *ctx, struct ubus_request_data *req,
			struct ubus_request_data *new_req);
// Sends the final status of a deferred call.
void ubus_complete_deferred_request(struct ubus_context *ctx, struct ubus_request_data *req,
				    int ret);

// The status text the router's library gives ("Success", "Not found", ...;
// "Unknown error: <n>" otherwise). The text for unknown codes lives in a
// thread-local buffer until the next such call.
const char *ubus_strerror(int error);

#ifdef __cplusplus
}
#endif
