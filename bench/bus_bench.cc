// Bus throughput: synchronous calls through the broker to an object owner,
// and events fanned out to 1 and 10 handlers. Every figure runs on a broker
// of its own, on a private socket under a fresh temp dir, with the broker,
// the owner and each handler in processes of their own.
//
//   bus_bench [-n CALLS] [-e EVENTS] [invoke|event|fanout1|fanout10]...
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bus/blobmsg.h"
#include "bus/busd.h"
#include "bus/ubus.h"
#include "bus/uloop.h"

namespace {

double now_s()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec + ts.tv_nsec / 1e9;
}

// CPU time a process has used so far (user + system). The machine's load
// changes wall-clock rates a lot; CPU per operation holds still.
double cpu_seconds(pid_t pid)
{
	// Run time in ns, exact rather than sampled at the clock tick.
	char path[64];
	snprintf(path, sizeof(path), "/proc/%d/schedstat", int(pid));
	FILE *f = fopen(path, "r");
	if (!f)
		return 0;
	unsigned long long ns = 0;
	if (fscanf(f, "%llu", &ns) != 1)
		ns = 0;
	fclose(f);
	return double(ns) / 1e9;
}

double cpu_total(pid_t self, const std::vector<pid_t> &others)
{
	double t = cpu_seconds(self);
	for (pid_t p : others)
		t += cpu_seconds(p);
	return t;
}

struct Dir {
	std::string path;
	Dir()
	{
		char tmpl[] = "/tmp/aircoord-bench-XXXXXX";
		path = mkdtemp(tmpl) ? tmpl : "/tmp";
	}
	~Dir()
	{
		unlink((path + "/bus.sock").c_str());
		rmdir(path.c_str());
	}
	std::string sock() const { return path + "/bus.sock"; }
};

pid_t spawn_broker(const std::string &sock)
{
	pid_t pid = fork();
	if (pid == 0) {
		uloop_init();
		struct busd *d = busd_start(sock.c_str());
		if (!d)
			_exit(1);
		uloop_run();
		busd_stop(d);
		uloop_done();
		_exit(0);
	}
	return pid;
}

struct ubus_context *connect_retry(const std::string &sock)
{
	for (int i = 0; i < 5000; i++) {
		struct ubus_context *ctx = ubus_connect(sock.c_str());
		if (ctx)
			return ctx;
		usleep(1000);
	}
	return nullptr;
}

void stop(pid_t pid)
{
	kill(pid, SIGTERM);
	waitpid(pid, nullptr, 0);
}

int echo(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
	 const char *, struct blob_attr *msg)
{
	ubus_send_reply(ctx, req, msg);
	return 0;
}

const struct blobmsg_policy echo_policy[] = {{"id", BLOBMSG_TYPE_INT32},
					     {"name", BLOBMSG_TYPE_STRING}};
const struct ubus_method echo_methods[] = {UBUS_METHOD("echo", echo, echo_policy)};

// The object owner: serves "bench.echo" until told to stop.
pid_t spawn_owner(const std::string &sock)
{
	pid_t pid = fork();
	if (pid == 0) {
		uloop_init();
		struct ubus_context *ctx = connect_retry(sock);
		if (!ctx)
			_exit(1);
		static struct ubus_object_type type = {"bench", 0, echo_methods, 1};
		static struct ubus_object obj = {};
		obj.name = "bench";
		obj.type = &type;
		obj.methods = echo_methods;
		obj.n_methods = 1;
		if (ubus_add_object(ctx, &obj))
			_exit(1);
		ubus_add_uloop(ctx);
		uloop_run();
		ubus_free(ctx);
		uloop_done();
		_exit(0);
	}
	return pid;
}

void count_reply(struct ubus_request *req, int, struct blob_attr *)
{
	(*static_cast<int *>(req->priv))++;
}

void bench_invoke(int calls)
{
	Dir dir;
	pid_t broker = spawn_broker(dir.sock());
	struct ubus_context *ctx = connect_retry(dir.sock());
	if (!ctx) {
		fprintf(stderr, "no broker\n");
		stop(broker);
		return;
	}
	pid_t owner = spawn_owner(dir.sock());
	uint32_t id = 0;
	for (int i = 0; i < 5000 && ubus_lookup_id(ctx, "bench", &id); i++)
		usleep(1000);
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "id", 7);
	blobmsg_add_string(&b, "name", "ap1");
	int replies = 0;
	for (int i = 0; i < 1000; i++)
		ubus_invoke(ctx, id, "echo", b.head, count_reply, &replies, 5000);
	replies = 0;
	double c0 = cpu_seconds(broker), a0 = cpu_total(getpid(), {broker, owner});
	double t0 = now_s();
	int failed = 0;
	for (int i = 0; i < calls; i++)
		failed += ubus_invoke(ctx, id, "echo", b.head, count_reply, &replies, 5000) != 0;
	double dt = now_s() - t0;
	double cb = cpu_seconds(broker) - c0, ca = cpu_total(getpid(), {broker, owner}) - a0;
	printf("invoke round trips   %9.0f calls/s   %6.1f us/call   CPU/call: broker %5.1f us, "
	       "all %5.1f us   (%d calls, %d replies, %d failed)\n",
	       calls / dt, dt / calls * 1e6, cb / calls * 1e6, ca / calls * 1e6, calls, replies,
	       failed);

	c0 = cpu_seconds(broker);
	t0 = now_s();
	for (int i = 0; i < calls; i++)
		ubus_lookup_id(ctx, "bench", &id);
	dt = now_s() - t0;
	cb = cpu_seconds(broker) - c0;
	printf("lookup of one path   %9.0f lookups/s %6.1f us/lookup CPU/lookup: broker %5.1f us\n",
	       calls / dt, dt / calls * 1e6, cb / calls * 1e6);

	blob_buf_free(&b);
	ubus_free(ctx);
	stop(owner);
	stop(broker);
}

struct Counter {
	struct ubus_event_handler ev;
	int seen;
	int expect;
	int report_fd;
};

void count_event(struct ubus_context *, struct ubus_event_handler *ev, const char *,
		 struct blob_attr *)
{
	Counter *c = container_of(ev, Counter, ev);
	if (++c->seen == c->expect) {
		char ok = 1;
		ssize_t r = write(c->report_fd, &ok, 1);
		(void)r;
	}
}

void bench_events(int handlers, int events)
{
	Dir dir;
	pid_t broker = spawn_broker(dir.sock());
	struct ubus_context *ctx = connect_retry(dir.sock());
	if (!ctx) {
		stop(broker);
		return;
	}
	int ready[2], done[2];
	if (pipe(ready) || pipe(done))
		return;
	std::vector<pid_t> pids;
	for (int h = 0; h < handlers; h++) {
		pid_t pid = fork();
		if (pid == 0) {
			uloop_init();
			struct ubus_context *hc = connect_retry(dir.sock());
			if (!hc)
				_exit(1);
			static Counter c;
			c = {};
			c.ev.cb = count_event;
			c.expect = events;
			c.report_fd = done[1];
			if (ubus_register_event_handler(hc, &c.ev, "bench.*"))
				_exit(1);
			char ok = 1;
			ssize_t r = write(ready[1], &ok, 1);
			(void)r;
			ubus_add_uloop(hc);
			uloop_run();
			ubus_free(hc);
			uloop_done();
			_exit(0);
		}
		pids.push_back(pid);
	}
	for (int h = 0; h < handlers; h++) {
		char c;
		if (read(ready[0], &c, 1) != 1)
			return;
	}
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "seq", 1);
	blobmsg_add_string(&b, "sta", "00:11:22:33:44:55");
	std::vector<pid_t> all = pids;
	all.push_back(broker);
	double c0 = cpu_seconds(broker), a0 = cpu_total(getpid(), all);
	double t0 = now_s();
	int failed = 0;
	for (int i = 0; i < events; i++)
		failed += ubus_send_event(ctx, "bench.ev", b.head) != 0;
	double sent = now_s() - t0;
	for (int h = 0; h < handlers; h++) {
		char c;
		if (read(done[0], &c, 1) != 1)
			return;
	}
	double dt = now_s() - t0;
	double cb = cpu_seconds(broker) - c0, ca = cpu_total(getpid(), all) - a0;
	printf("events to %2d handler%s %8.0f events/s  %9.0f deliveries/s  CPU/event: broker "
	       "%5.1f us, all %6.1f us   (%d events, sends %.0f/s, %d failed)\n",
	       handlers, handlers == 1 ? " " : "s", events / dt, double(events) * handlers / dt,
	       cb / events * 1e6, ca / events * 1e6, events, events / sent, failed);
	blob_buf_free(&b);
	ubus_free(ctx);
	for (pid_t pid : pids)
		stop(pid);
	stop(broker);
	close(ready[0]);
	close(ready[1]);
	close(done[0]);
	close(done[1]);
}

void bench_event_no_handler(int events)
{
	Dir dir;
	pid_t broker = spawn_broker(dir.sock());
	struct ubus_context *ctx = connect_retry(dir.sock());
	if (!ctx) {
		stop(broker);
		return;
	}
	double c0 = cpu_seconds(broker);
	double t0 = now_s();
	for (int i = 0; i < events; i++)
		ubus_send_event(ctx, "bench.ev", nullptr);
	double dt = now_s() - t0;
	double cb = cpu_seconds(broker) - c0;
	printf("event send, unheard  %9.0f events/s  %6.1f us/event  CPU/event: broker %5.1f us\n",
	       events / dt, dt / events * 1e6, cb / events * 1e6);
	ubus_free(ctx);
	stop(broker);
}

} // namespace

int main(int argc, char **argv)
{
	int calls = 20000, events = 20000;
	int ch;
	while ((ch = getopt(argc, argv, "n:e:")) != -1) {
		switch (ch) {
		case 'n':
			calls = atoi(optarg);
			break;
		case 'e':
			events = atoi(optarg);
			break;
		default:
			fprintf(stderr,
				"Usage: %s [-n CALLS] [-e EVENTS] "
				"[invoke|event|fanout1|fanout10]...\n",
				argv[0]);
			return 1;
		}
	}
	if (calls <= 0 || events <= 0)
		return 1;
	signal(SIGPIPE, SIG_IGN);
	auto wanted = [&](const char *name) {
		if (optind >= argc)
			return true;
		for (int i = optind; i < argc; i++) {
			if (!strcmp(argv[i], name))
				return true;
		}
		return false;
	};
	if (wanted("invoke"))
		bench_invoke(calls);
	if (wanted("event"))
		bench_event_no_handler(events);
	if (wanted("fanout1"))
		bench_events(1, events);
	if (wanted("fanout10"))
		bench_events(10, events);
	return 0;
}
