#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "bus/blobmsg_json.h"
#include "bus/ubus.h"
#include "tests/bus/bus_util.h"

namespace {

struct Result {
	int status = -1;
	std::string out;
	std::string err;
};

std::string strip_cr(const std::string &s)
{
	std::string r;
	for (char c : s) {
		if (c != '\r')
			r += c;
	}
	return r;
}

// A running aircoord-bus; stderr goes to a pipe, or to a terminal.
class Cli {
public:
	Cli(const std::vector<std::string> &args, bool stderr_tty = false)
	{
		int out[2], err[2] = {-1, -1};
		EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
		int err_child;
		if (stderr_tty) {
			err[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
			grantpt(err[0]);
			unlockpt(err[0]);
			err_child = open(ptsname(err[0]), O_RDWR | O_NOCTTY | O_CLOEXEC);
		} else {
			EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
			err_child = err[1];
		}
		testutil::Command cmd(AIRCOORD_BUS_BIN, args);
		pid_ = fork();
		if (pid_ == 0) {
			dup2(out[1], 1);
			dup2(err_child, 2);
			execvp(cmd.argv()[0], cmd.argv());
			_exit(127);
		}
		close(out[1]);
		if (err[1] >= 0 && err[1] != err_child)
			close(err[1]);
		close(err_child);
		out_fd_ = out[0];
		err_fd_ = err[0];
	}

	~Cli()
	{
		if (pid_ > 0) {
			kill(pid_, SIGKILL);
			waitpid(pid_, nullptr, 0);
		}
		close(out_fd_);
		close(err_fd_);
	}

	// Reads what is there without waiting.
	void drain()
	{
		for (int fd : {out_fd_, err_fd_}) {
			char buf[4096];
			for (;;) {
				struct pollfd p = {fd, POLLIN, 0};
				if (poll(&p, 1, 0) <= 0)
					break;
				ssize_t n = read(fd, buf, sizeof(buf));
				if (n <= 0)
					break;
				(fd == out_fd_ ? res_.out : res_.err).append(buf, size_t(n));
			}
		}
	}

	const std::string &out()
	{
		drain();
		return res_.out;
	}

	void signal(int sig) { kill(pid_, sig); }

	Result wait()
	{
		auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
		int st = 0;
		for (;;) {
			drain();
			pid_t r = waitpid(pid_, &st, WNOHANG);
			if (r == pid_)
				break;
			if (std::chrono::steady_clock::now() > end) {
				kill(pid_, SIGKILL);
				waitpid(pid_, &st, 0);
				break;
			}
			struct pollfd p[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
			poll(p, 2, 20);
		}
		pid_ = -1;
		// The terminal side may report EIO once the child is gone.
		drain();
		res_.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
		res_.err = strip_cr(res_.err);
		return res_;
	}

private:
	pid_t pid_ = -1;
	int out_fd_ = -1;
	int err_fd_ = -1;
	Result res_;
};

Result run(const std::vector<std::string> &args, bool stderr_tty = false)
{
	Cli c(args, stderr_tty);
	return c.wait();
}

struct ubus_request_data parked;

int svc_get(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
	    const char *, struct blob_attr *msg)
{
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "name", "ap1");
	blob_put_raw(&b, blob_data(msg), blob_len(msg));
	ubus_send_reply(ctx, req, b.head);
	blob_buf_init(&b, 0);
	void *t = blobmsg_open_table(&b, "radio");
	blobmsg_add_u8(&b, "up", 1);
	blobmsg_close_table(&b, t);
	ubus_send_reply(ctx, req, b.head);
	blob_buf_free(&b);
	return 0;
}

int svc_quiet(struct ubus_context *, struct ubus_object *, struct ubus_request_data *,
	      const char *, struct blob_attr *)
{
	return 0;
}

int svc_park(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
	     const char *, struct blob_attr *)
{
	ubus_defer_request(ctx, req, &parked);
	return 0;
}

const struct blobmsg_policy get_policy[] = {
	{"id", BLOBMSG_TYPE_INT32},   {"name", BLOBMSG_TYPE_STRING}, {"on", BLOBMSG_TYPE_BOOL},
	{"list", BLOBMSG_TYPE_ARRAY}, {"t", BLOBMSG_TYPE_TABLE},     {"big", BLOBMSG_TYPE_INT64},
	{"d", BLOBMSG_TYPE_DOUBLE},
};
const struct ubus_method svc_methods[] = {
	UBUS_METHOD("get", svc_get, get_policy),
	UBUS_METHOD_NOARG("quiet", svc_quiet),
	UBUS_METHOD_NOARG("park", svc_park),
};

class BusCli : public ::testing::Test {
protected:
	void SetUp() override
	{
		broker_ = std::make_unique<bustest::Broker>();
		sock_ = broker_->path();
		server_ = std::make_unique<bustest::Peer>(sock_);
		type_ = {"svc", 0, svc_methods, 3};
		obj_ = {};
		obj_.name = "svc";
		obj_.type = &type_;
		obj_.methods = svc_methods;
		obj_.n_methods = 3;
		other_ = obj_;
		other_.name = "alpha";
		int ret = 0;
		server_->run([&](struct ubus_context *ctx) {
			ret |= ubus_add_object(ctx, &obj_);
			ret |= ubus_add_object(ctx, &other_);
		});
		ASSERT_EQ(ret, 0);
	}

	void TearDown() override
	{
		server_.reset();
		broker_.reset();
	}

	std::unique_ptr<bustest::Broker> broker_;
	std::string sock_;
	std::unique_ptr<bustest::Peer> server_;
	struct ubus_object_type type_;
	struct ubus_object obj_, other_;
};

TEST_F(BusCli, ListPrintsPathsAndWithVerboseTheSignatures)
{
	Result r = run({"-s", sock_, "list"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "alpha\nsvc\n");
	EXPECT_EQ(r.err, "");

	char id[16];
	snprintf(id, sizeof(id), "%08x", obj_.id);
	r = run({"-s", sock_, "-v", "list", "svc"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, std::string("'svc' @") + id +
				 "\n"
				 "\t\"get\":{\"id\":\"Integer\",\"name\":\"String\","
				 "\"on\":\"Boolean\","
				 "\"list\":\"Array\",\"t\":\"Table\",\"big\":\"(unknown)\","
				 "\"d\":\"(unknown)\"}\n"
				 "\t\"quiet\":{}\n"
				 "\t\"park\":{}\n");

	r = run({"-s", sock_, "list", "nope"});
	EXPECT_EQ(r.status, 4);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "Command failed: Not found\n");
}

TEST_F(BusCli, CallPrintsEachReply)
{
	Result r = run({"-s", sock_, "call", "svc", "get", "{\"id\":7}"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "{\n\t\"name\": \"ap1\",\n\t\"id\": 7\n}\n"
			 "{\n\t\"radio\": {\n\t\t\"up\": true\n\t}\n}\n");
	r = run({"-s", sock_, "-S", "call", "svc", "get"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "{\"name\":\"ap1\"}\n{\"radio\":{\"up\":true}}\n");
	r = run({"-s", sock_, "call", "svc", "quiet"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "");
}

TEST_F(BusCli, FailedCallsReportAndExitAccordingToWhereStderrGoes)
{
	struct Case {
		const char *what;
		std::vector<std::string> args;
		bool tty;
		int status;
		std::string err;
	};
	const Case cases[] = {
		{"missing method to a log", {"call", "svc", "nope"}, false, 253,
		 "Command failed: ubus call svc nope (Method not found)\n"},
		{"missing method to a terminal", {"call", "svc", "nope"}, true, 3,
		 "Command failed: Method not found\n"},
		{"missing method, simple output", {"-S", "call", "svc", "nope"}, false, 3, ""},
		{"bad JSON", {"call", "svc", "get", "{\"id\":"}, false, 244,
		 "Command failed: ubus call svc get {\"id\": (Parsing message data failed)\n"},
		{"JSON that is not an object", {"call", "svc", "get", "[1]"}, true, 12,
		 "Command failed: Parsing message data failed\n"},
		{"unknown object", {"call", "nope", "get"}, false, 4,
		 "Command failed: Not found\n"},
		{"send with bad JSON", {"send", "x", "nope"}, false, 12,
		 "Command failed: Parsing message data failed\n"},
		{"send a name of the broker's", {"send", "ubus.x"}, false, 6,
		 "Command failed: Permission denied\n"},
	};
	for (const Case &c : cases) {
		SCOPED_TRACE(c.what);
		std::vector<std::string> args = {"-s", sock_};
		args.insert(args.end(), c.args.begin(), c.args.end());
		Result r = run(args, c.tty);
		EXPECT_EQ(r.status, c.status);
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(r.out, "");
	}
}

TEST_F(BusCli, CallTimesOutAfterTheGivenSeconds)
{
	Result r = run({"-s", sock_, "-t", "1", "call", "svc", "park"});
	EXPECT_EQ(r.status, 249);
	EXPECT_EQ(r.err, "Command failed: ubus call svc park (Request timed out)\n");
}

TEST_F(BusCli, ListenPrintsEventsSentWithSend)
{
	Cli listen({"-s", sock_, "listen", "demo.*", "other"});
	// Its registration is done once one of our probes gets through.
	struct ubus_context *ctx = ubus_connect(sock_.c_str());
	ASSERT_NE(ctx, nullptr);
	ASSERT_TRUE(testutil::wait_until([&] {
		ubus_send_event(ctx, "demo.probe", nullptr);
		return listen.out().find("demo.probe") != std::string::npos;
	}));
	ubus_free(ctx);

	Result s = run({"-s", sock_, "send", "demo.ev", "{\"n\":1,\"s\":\"x\"}"});
	EXPECT_EQ(s.status, 0);
	EXPECT_EQ(s.out, "");
	EXPECT_EQ(run({"-s", sock_, "send", "unheard"}).status, 0);
	EXPECT_EQ(run({"-s", sock_, "send", "other"}).status, 0);
	ASSERT_TRUE(testutil::wait_until(
		[&] { return listen.out().find("\"other\"") != std::string::npos; }));
	// Probes still in flight may show up after the first one.
	std::string out = listen.out(), rest;
	for (size_t pos = 0; pos < out.size();) {
		size_t nl = out.find('\n', pos);
		std::string line = out.substr(pos, nl - pos + 1);
		if (line.find("demo.probe") == std::string::npos)
			rest += line;
		pos = nl == std::string::npos ? out.size() : nl + 1;
	}
	EXPECT_EQ(rest, "{ \"demo.ev\": {\"n\":1,\"s\":\"x\"} }\n{ \"other\": {} }\n");
	listen.signal(SIGTERM);
	EXPECT_EQ(listen.wait().status, 0);
}

TEST(BusCliAlone, NoBrokerMeansNoConnection)
{
	testutil::TempDir dir;
	Result r = run({"-s", dir.file("none.sock"), "list"});
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.err, "Failed to connect to ubus\n");
	r = run({"-s", dir.file("none.sock"), "-S", "list"});
	EXPECT_EQ(r.status, 255);
	EXPECT_EQ(r.err, "");
}

TEST(BusCliAlone, BrokerProgramServesTheCli)
{
	testutil::TempDir dir;
	std::string sock = dir.file("bus.sock");
	testutil::Command busd(AIRCOORD_BUSD_BIN, {"-s", sock});
	pid_t pid = fork();
	if (pid == 0) {
		execvp(busd.argv()[0], busd.argv());
		_exit(127);
	}
	ASSERT_TRUE(testutil::wait_until([&] {
		struct ubus_context *probe = ubus_connect(sock.c_str());
		ubus_free(probe);
		return probe != nullptr;
	}));
	struct stat st;
	ASSERT_EQ(stat(sock.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 0777, 0666u);
	Result r = run({"-s", sock, "list"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(run({"-s", sock, "send", "x", "{}"}).status, 0);
	kill(pid, SIGTERM);
	int status = 0;
	waitpid(pid, &status, 0);
	EXPECT_TRUE(WIFEXITED(status));
	EXPECT_EQ(WEXITSTATUS(status), 0);
	EXPECT_NE(access(sock.c_str(), F_OK), 0);
}

} // namespace
