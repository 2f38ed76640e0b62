#include "bus/busd.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "bus/busd_internal.h"

using namespace busd_internal;


struct busd *busd_start(const char *path)
{
	struct sockaddr_un sun = {};
	sun.sun_family = AF_UNIX;
	if (!path || strlen(path) >= sizeof(sun.sun_path))
		return nullptr;
	strcpy(sun.sun_path, path);
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
	if (fd < 0)
		return nullptr;
	unlink(path);
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof(sun)) < 0 ||
	    listen(fd, SOMAXCONN) < 0) {
		close(fd);
		return nullptr;
	}
	// Anyone may connect: access is not restricted by the socket's mode.
	chmod(path, 0666);
	auto *d = new busd;
	d->path = path;
	d->listen.fd.fd = fd;
	d->listen.fd.cb = listen_cb;
	d->listen.retry.cb = listen_retry_cb;
	d->listen.d = d;
	if (uloop_fd_add(&d->listen.fd, ULOOP_READ) < 0) {
		close(fd);
		unlink(path);
		delete d;
		return nullptr;
	}
	return d;
}

void busd_stop(struct busd *d)
{
	if (!d)
		return;
	uloop_fd_delete(&d->listen.fd);
	uloop_timeout_cancel(&d->listen.retry);
	close(d->listen.fd.fd);
	unlink(d->path.c_str());
	for (auto &[id, cl] : d->clients) {
		uloop_fd_delete(&cl->sock);
		close(cl->sock.fd);
		free(cl->rbuf);
	}
	d->patterns.clear();
	d->objects.clear();
	d->clients.clear();
	blob_buf_free(&d->b);
	delete d;
}

struct busd_thread {
	std::thread thread;
	std::mutex lock;
	std::condition_variable cond;
	bool ready = false;
	bool ok = false;
	int stop_fd = -1;
	struct uloop_fd stop = {};
	std::string path;
};

namespace {

void stop_cb(struct uloop_fd *u, unsigned int)
{
	uint64_t v;
	ssize_t r = read(u->fd, &v, sizeof(v));
	(void)r;
	uloop_end();
}

void busd_thread_main(struct busd_thread *t)
{
	uloop_init_nosignals();
	struct busd *d = busd_start(t->path.c_str());
	t->stop.fd = t->stop_fd;
	t->stop.cb = stop_cb;
	bool ok = d && uloop_fd_add(&t->stop, ULOOP_READ) == 0;
	{
		std::lock_guard<std::mutex> g(t->lock);
		t->ready = true;
		t->ok = ok;
	}
	t->cond.notify_all();
	if (ok)
		uloop_run();
	uloop_fd_delete(&t->stop);
	busd_stop(d);
	uloop_done();
}

} // namespace

struct busd_thread *busd_thread_start(const char *path)
{
	if (!path)
		return nullptr;
	int efd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
	if (efd < 0)
		return nullptr;
	auto *t = new busd_thread;
	t->path = path;
	t->stop_fd = efd;
	t->thread = std::thread(busd_thread_main, t);
	bool ok;
	{
		std::unique_lock<std::mutex> g(t->lock);
		t->cond.wait(g, [t] { return t->ready; });
		ok = t->ok;
	}
	if (!ok) {
		t->thread.join();
		close(efd);
		delete t;
		return nullptr;
	}
	return t;
}

void busd_thread_stop(struct busd_thread *t)
{
	if (!t)
		return;
	uint64_t one = 1;
	ssize_t r = write(t->stop_fd, &one, sizeof(one));
	(void)r;
	t->thread.join();
	close(t->stop_fd);
	delete t;
}
