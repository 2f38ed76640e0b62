// Timeline steps about the bus itself: its broker going away and coming
// back, and the controller told to stop.
#include <cstdio>

#include "bus/ubus.h"
#include "sim/mesh.h"

namespace sim {

// How long a new broker waits for the controller's object.
static constexpr double REJOIN_WATCH_S = 10;
static constexpr int REJOIN_POLL_MS = 50;

static std::string seconds(double s)
{
	char text[32];
	snprintf(text, sizeof(text), "%.2f s", s);
	return text;
}

void mesh::set_broker(std::function<void()> stop, std::function<bool()> start)
{
	h_.run([&] {
		bus_.stop_broker = std::move(stop);
		bus_.start_broker = std::move(start);
	});
}

bool mesh::stop_due() const
{
	return bus_.stop_due;
}

void mesh::restart_broker(double down)
{
	if (!bus_.stop_broker) {
		say("the bus is not the simulator's own: its broker stays");
		return;
	}
	bus_.stop_broker();
	say("the bus broker went away");
	h_.post(
		[this] {
			if (!bus_.start_broker()) {
				say("no new bus broker: its socket cannot be set up");
				return;
			}
			bus_.back_at = h_.now();
			bus_.back_after = -1;
			say("a new bus broker is up");
			watch_rejoin();
		},
		static_cast<int>(down * 1000));
}

// Looks for the controller's object on the new broker until it is there.
void mesh::watch_rejoin()
{
	uint32_t id;
	double waited = h_.now() - bus_.back_at;
	if (h_.ok() && ubus_lookup_id(h_.ctx(), "aircoord", &id) == 0) {
		bus_.back_after = waited;
		say("controller back on the bus " + seconds(waited) + " after the new broker");
		return;
	}
	if (waited > REJOIN_WATCH_S) {
		say("controller not back on the bus " + seconds(waited) + " after the new broker");
		return;
	}
	h_.post([this] { watch_rejoin(); }, REJOIN_POLL_MS);
}

void mesh::judge_rejoin(const expectation &e, verdict *v) const
{
	v->pass = bus_.back_after >= 0 && bus_.back_after <= e.within;
	if (bus_.back_after >= 0)
		v->label += " (" + seconds(bus_.back_after) + ")";
	v->why = bus_.back_at < 0	 ? "the broker never came back"
		 : bus_.back_after < 0 ? "not back on the bus"
				       : "back after " + seconds(bus_.back_after);
}

} // namespace sim
