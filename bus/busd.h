// The broker, as a library: `aircoord-busd` is a thin main around it, and
// tests and the simulator run it in-process.
#pragma once

struct busd;

// Listens on `path` (unlinked first) in the calling thread's loop. Returns
// null when the socket cannot be set up.
struct busd *busd_start(const char *path);
// Closes every client and the listening socket, and unlinks the path.
void busd_stop(struct busd *d);

// A broker on a thread of its own with its own loop, for tests and the
// simulator. Returns once the socket accepts connections, or null.
struct busd_thread;
struct busd_thread *busd_thread_start(const char *path);
// Ends the thread's loop, stops the broker and joins the thread.
void busd_thread_stop(struct busd_thread *t);
