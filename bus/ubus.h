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
#pragma once

#include <cstdint>

#include "bus/blob.h"
#include "bus/blobmsg.h"
#include "bus/list.h"
#include "bus/uloop.h"

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
	const struct blobmsg_policy *policy; // the signature advertised to lookups
	int n_policy;
};

#ifndef ARRAY_SIZE
#define ARRAY_SIZE(arr) (sizeof(arr) / sizeof((arr)[0]))
#endif

// Brace initialisers of one method and of an object type, as the router's
// library spells them.
#define UBUS_METHOD(_name, _handler, _policy)                                                  \
	{.name = _name, .handler = _handler, .policy = _policy, .n_policy = ARRAY_SIZE(_policy)}
#define UBUS_METHOD_NOARG(_name, _handler)                                                     \
	{.name = _name, .handler = _handler, .policy = nullptr, .n_policy = 0}
#define UBUS_OBJECT_TYPE(_name, _methods)                                                      \
	{.name = _name, .id = 0, .methods = _methods, .n_methods = ARRAY_SIZE(_methods)}

struct ubus_object_type {
	const char *name;
	uint32_t id;
	const struct ubus_method *methods;
	int n_methods;
};

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

// A request of ours; `priv` is what the caller passed.
struct ubus_request {
	ubus_data_handler_t data_cb;
	void *priv;
	uint32_t peer;
	uint16_t seq;
	int status_code;
	bool status_msg;
	bool cancelled;
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
