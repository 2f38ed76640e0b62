// The router's declarations of the bus API the daemon uses, held against
// the project's bus headers: compiled, never run (bus_names.sh). A parameter
// that is const on one side only builds here and breaks on the router.
#include <cstdint>
#include <type_traits>

#include "src/bus.h"

template <class R, class A> A arg_of(R (*)(A));
#define SAME(a, ...) static_assert(std::is_same_v<a, __VA_ARGS__>, #a)
#define DECL(fn, ...) SAME(decltype(&fn), __VA_ARGS__)
#define CONST_ARG(fn) SAME(decltype(arg_of(&fn)), const struct blob_attr *)

using ctx = struct ubus_context *;
using attr = struct blob_attr *;
using buf = struct blob_buf *;

// Event loop
DECL(uloop_init, int (*)(void));
DECL(uloop_done, void (*)(void));
DECL(uloop_run, int (*)(void));
DECL(uloop_end, void (*)(void));
DECL(uloop_timeout_add, int (*)(struct uloop_timeout *));
DECL(uloop_timeout_set, int (*)(struct uloop_timeout *, int));
DECL(uloop_timeout_cancel, int (*)(struct uloop_timeout *));
DECL(uloop_timeout_remaining64, int64_t (*)(struct uloop_timeout *));
SAME(decltype(uloop_timeout::cb), void (*)(struct uloop_timeout *));

// blob / blobmsg
DECL(blob_buf_init, int (*)(buf, int));
DECL(blob_buf_free, void (*)(buf));
SAME(decltype(blob_buf::head), attr);
CONST_ARG(blob_data);
CONST_ARG(blob_len);
CONST_ARG(blob_raw_len);
CONST_ARG(blob_pad_len);
CONST_ARG(blob_id);
DECL(blobmsg_parse,
     int (*)(const struct blobmsg_policy *, int, struct blob_attr **, void *, unsigned int));
DECL(blobmsg_data, void *(*)(const struct blob_attr *));
DECL(blobmsg_data_len, size_t (*)(const struct blob_attr *));
DECL(blobmsg_type, int (*)(const struct blob_attr *));
DECL(blobmsg_name, const char *(*)(const struct blob_attr *));
DECL(blobmsg_get_string, char *(*)(attr));
DECL(blobmsg_get_u8, uint8_t (*)(attr));
DECL(blobmsg_get_bool, bool (*)(attr));
DECL(blobmsg_get_u16, uint16_t (*)(attr));
DECL(blobmsg_get_u32, uint32_t (*)(attr));
DECL(blobmsg_get_u64, uint64_t (*)(attr));
DECL(blobmsg_get_double, double (*)(attr));
DECL(blobmsg_add_field, int (*)(buf, int, const char *, const void *, unsigned int));
DECL(blobmsg_add_string, int (*)(buf, const char *, const char *));
DECL(blobmsg_add_u8, int (*)(buf, const char *, uint8_t));
DECL(blobmsg_add_u16, int (*)(buf, const char *, uint16_t));
DECL(blobmsg_add_u32, int (*)(buf, const char *, uint32_t));
DECL(blobmsg_add_u64, int (*)(buf, const char *, uint64_t));
DECL(blobmsg_add_double, int (*)(buf, const char *, double));
DECL(blobmsg_add_blob, int (*)(buf, attr));
DECL(blobmsg_open_table, void *(*)(buf, const char *));
DECL(blobmsg_open_array, void *(*)(buf, const char *));
DECL(blobmsg_close_table, void (*)(buf, void *));
DECL(blobmsg_close_array, void (*)(buf, void *));
DECL(blobmsg_buf_init, int (*)(buf));
DECL(blobmsg_format_json_with_cb, char *(*)(attr, bool, blobmsg_json_format_t, void *, int));
DECL(blobmsg_add_json_from_string, bool (*)(buf, const char *));

// libubus
DECL(ubus_connect, ctx (*)(const char *));
DECL(ubus_free, void (*)(ctx));
DECL(ubus_add_uloop, void (*)(ctx));
DECL(ubus_strerror, const char *(*)(int));
DECL(ubus_lookup, int (*)(ctx, const char *, ubus_lookup_handler_t, void *));
DECL(ubus_lookup_id, int (*)(ctx, const char *, uint32_t *));
DECL(ubus_invoke,
     int (*)(ctx, uint32_t, const char *, attr, ubus_data_handler_t, void *, int));
DECL(ubus_invoke_async, int (*)(ctx, uint32_t, const char *, attr, struct ubus_request *));
DECL(ubus_complete_request_async, void (*)(ctx, struct ubus_request *));
DECL(ubus_complete_request, int (*)(ctx, struct ubus_request *, int));
DECL(ubus_abort_request, void (*)(ctx, struct ubus_request *));
DECL(ubus_add_object, int (*)(ctx, struct ubus_object *));
DECL(ubus_remove_object, int (*)(ctx, struct ubus_object *));
DECL(ubus_send_reply, int (*)(ctx, struct ubus_request_data *, attr));
DECL(ubus_send_event, int (*)(ctx, const char *, attr));
DECL(ubus_register_event_handler, int (*)(ctx, struct ubus_event_handler *, const char *));
DECL(ubus_unregister_event_handler, int (*)(ctx, struct ubus_event_handler *));
SAME(ubus_lookup_handler_t, void (*)(ctx, struct ubus_object_data *, void *));
SAME(ubus_data_handler_t, void (*)(struct ubus_request *, int, attr));
SAME(ubus_complete_handler_t, void (*)(struct ubus_request *, int));
SAME(ubus_handler_t,
     int (*)(ctx, struct ubus_object *, struct ubus_request_data *, const char *, attr));
SAME(decltype(ubus_event_handler::cb), void (*)(ctx, struct ubus_event_handler *, const char *, attr));
SAME(decltype(ubus_request::data_cb), ubus_data_handler_t);
SAME(decltype(ubus_request::complete_cb), ubus_complete_handler_t);
SAME(decltype(ubus_request::priv), void *);
SAME(decltype(ubus_object::name), const char *);
SAME(decltype(ubus_object::type), struct ubus_object_type *);
SAME(decltype(ubus_object::methods), const struct ubus_method *);
SAME(decltype(ubus_object::id), uint32_t);
SAME(decltype(ubus_object_data::path), const char *);
SAME(decltype(ubus_object_data::signature), attr);
SAME(decltype(ubus_method::policy), const struct blobmsg_policy *);
static_assert(UBUS_STATUS_OK == 0 && UBUS_STATUS_INVALID_ARGUMENT == 2 &&
		      UBUS_STATUS_NOT_FOUND == 4 && UBUS_STATUS_TIMEOUT == 7 &&
		      UBUS_STATUS_UNKNOWN_ERROR == 9 && UBUS_STATUS_CONNECTION_FAILED == 10 &&
		      UBUS_STATUS_SYSTEM_ERROR == 13,
	      "status codes");
