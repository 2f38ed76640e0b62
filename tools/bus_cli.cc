// aircoord-bus: list objects, call methods, listen for and send events.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bus/blobmsg_json.h"
#include "bus/ubus.h"
#include "bus/uloop.h"

namespace {

bool simple_output;
int verbose;
int timeout = 30;
int listen_timeout;
struct blob_buf b;

int usage(const char *prog)
{
	fprintf(stderr,
		"Usage: %s [<options>] <command> [arguments...]\n"
		"Options:\n"
		" -s <socket>:\t\tConnect to this unix domain socket\n"
		" -t <timeout>:\t\tSeconds a command may take (listen: seconds to listen)\n"
		" -S:\t\t\tSimplified output for scripts\n"
		" -v:\t\t\tMore verbose output\n"
		"\n"
		"Commands:\n"
		" - list [<path>]\t\t\tList objects\n"
		" - call <path> <method> [<message>]\tCall a method of an object\n"
		" - listen [<pattern>...]\t\tListen for events\n"
		" - send <type> [<message>]\t\tSend an event\n"
		"\n",
		prog);
	return 1;
}

// The argument types a method advertises, by their names.
const char *format_type(void *, struct blob_attr *attr)
{
	static const char *const names[] = {
		[BLOBMSG_TYPE_UNSPEC] = nullptr,  [BLOBMSG_TYPE_ARRAY] = "\"Array\"",
		[BLOBMSG_TYPE_TABLE] = "\"Table\"", [BLOBMSG_TYPE_STRING] = "\"String\"",
		[BLOBMSG_TYPE_INT64] = nullptr,   [BLOBMSG_TYPE_INT32] = "\"Integer\"",
		[BLOBMSG_TYPE_INT16] = nullptr,   [BLOBMSG_TYPE_INT8] = "\"Boolean\"",
	};
	if (blob_id(attr) != BLOBMSG_TYPE_INT32 || blobmsg_data_len(attr) != 4)
		return nullptr;
	uint32_t type = blobmsg_get_u32(attr);
	const char *name = type < sizeof(names) / sizeof(names[0]) ? names[type] : nullptr;
	return name ? name : "\"(unknown)\"";
}

void receive_list_result(struct ubus_context *, struct ubus_object_data *obj, void *)
{
	if (simple_output || !verbose) {
		printf("%s\n", obj->path);
		return;
	}
	printf("'%s' @%08x\n", obj->path, obj->id);
	if (!obj->signature)
		return;
	struct blob_attr *cur;
	size_t rem;
	blob_for_each_attr(cur, obj->signature, rem)
	{
		char *s = blobmsg_format_json_with_cb(cur, false, format_type, nullptr, -1);
		if (!s)
			continue;
		printf("\t%s\n", s);
		free(s);
	}
}

int cli_list(struct ubus_context *ctx, int argc, char **argv)
{
	if (argc > 1)
		return -2;
	return ubus_lookup(ctx, argc ? argv[0] : nullptr, receive_list_result, nullptr);
}

void receive_call_result(struct ubus_request *, int, struct blob_attr *msg)
{
	char *s = blobmsg_format_json_indent(msg, true, simple_output ? -1 : 0);
	if (!s)
		return;
	printf("%s\n", s);
	free(s);
}

// A failed call names itself when stderr goes to a log rather than a
// person, and then exits with 256 - status.
int cli_error(const char *cmd, int argc, char **argv, int err)
{
	if (simple_output || isatty(fileno(stderr)))
		return err;
	fprintf(stderr, "Command failed: ubus %s ", cmd);
	for (int i = 0; i < argc; i++)
		fprintf(stderr, "%s ", argv[i]);
	fprintf(stderr, "(%s)\n", ubus_strerror(err));
	return -err;
}

int cli_call(struct ubus_context *ctx, int argc, char **argv)
{
	if (argc < 2 || argc > 3)
		return -2;
	blob_buf_init(&b, 0);
	if (argc == 3 && !blobmsg_add_json_from_string(&b, argv[2]))
		return cli_error("call", argc, argv, UBUS_STATUS_PARSE_ERROR);
	uint32_t id;
	int ret = ubus_lookup_id(ctx, argv[0], &id);
	if (ret)
		return ret;
	ret = ubus_invoke(ctx, id, argv[1], b.head, receive_call_result, nullptr, timeout * 1000);
	if (ret)
		return cli_error("call", argc, argv, ret);
	return 0;
}

void receive_event(struct ubus_context *, struct ubus_event_handler *, const char *type,
		   struct blob_attr *msg)
{
	char *s = blobmsg_format_json(msg, true);
	printf("{ \"%s\": %s }\n", type, s ? s : "{}");
	fflush(stdout);
	free(s);
}

void listen_timeout_cb(struct uloop_timeout *)
{
	uloop_end();
}

int cli_listen(struct ubus_context *ctx, int argc, char **argv)
{
	static struct ubus_event_handler listener;
	static const char *const all[] = {"*"};
	const char *const *patterns = argc ? argv : all;
	int n = argc ? argc : 1;

	listener = {};
	listener.cb = receive_event;
	for (int i = 0; i < n; i++) {
		int ret = ubus_register_event_handler(ctx, &listener, patterns[i]);
		if (ret) {
			if (!simple_output)
				fprintf(stderr, "Error while registering for event '%s': %s\n",
					patterns[i], ubus_strerror(ret));
			return -1;
		}
	}

	uloop_init();
	ubus_add_uloop(ctx);
	struct uloop_timeout t = {};
	t.cb = listen_timeout_cb;
	if (listen_timeout)
		uloop_timeout_set(&t, listen_timeout * 1000);
	uloop_run();
	uloop_timeout_cancel(&t);
	uloop_done();
	return 0;
}

int cli_send(struct ubus_context *ctx, int argc, char **argv)
{
	if (argc < 1 || argc > 2)
		return -2;
	blob_buf_init(&b, 0);
	if (argc == 2 && !blobmsg_add_json_from_string(&b, argv[1]))
		return UBUS_STATUS_PARSE_ERROR;
	return ubus_send_event(ctx, argv[0], b.head);
}

struct command {
	const char *name;
	int (*cb)(struct ubus_context *ctx, int argc, char **argv);
};

const struct command commands[] = {
	{"list", cli_list},
	{"call", cli_call},
	{"listen", cli_listen},
	{"send", cli_send},
};

} // namespace

int main(int argc, char **argv)
{
	const char *progname = argv[0];
	const char *socket = nullptr;
	int ch;

	while ((ch = getopt(argc, argv, "vs:t:S")) != -1) {
		switch (ch) {
		case 's':
			socket = optarg;
			break;
		case 't':
			listen_timeout = atoi(optarg);
			timeout = listen_timeout;
			break;
		case 'S':
			simple_output = true;
			break;
		case 'v':
			verbose++;
			break;
		default:
			return usage(progname);
		}
	}
	argc -= optind;
	argv += optind;
	if (argc < 1)
		return usage(progname);
	const char *cmd = argv[0];

	struct ubus_context *ctx = ubus_connect(socket);
	if (!ctx) {
		if (!simple_output)
			fprintf(stderr, "Failed to connect to ubus\n");
		return -1;
	}
	argv++;
	argc--;

	int ret = -2;
	for (const struct command &c : commands) {
		if (strcmp(c.name, cmd))
			continue;
		ret = c.cb(ctx, argc, argv);
		break;
	}
	if (ret > 0 && !simple_output)
		fprintf(stderr, "Command failed: %s\n", ubus_strerror(ret));
	else if (ret == -2)
		usage(progname);

	ubus_free(ctx);
	blob_buf_free(&b);
	return ret;
}
