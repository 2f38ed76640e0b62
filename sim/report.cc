#include "sim/report.h"

#include <json-c/json.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "sim/ask.h"
#include "sim/radio.h"
#include "sim/story.h"

namespace sim {

// meshview.js and report.js, inlined at build time (cmake/embed.cmake).
extern const char report_meshview_js[];
extern const char report_page_js[];

// A step's replies are asked for this long after its group of steps ran
// at most, and never later than halfway to the next group.
static constexpr double SETTLE_S = 1.0;

struct report::step {
	double at = -1; // the group's time since the timeline started; -1: before
	double t = 0;   // when the replies were taken
	bool end = false;
	json_object *status = nullptr; // owned; null with `error` set
	json_object *stations = nullptr;
	json_object *history = nullptr;
	std::string error;

	step() = default;
	step(const step &) = delete;
	step &operator=(const step &) = delete;
	step(step &&o) noexcept { *this = std::move(o); }
	step &operator=(step &&o) noexcept
	{
		std::swap(at, o.at);
		std::swap(t, o.t);
		std::swap(end, o.end);
		std::swap(status, o.status);
		std::swap(stations, o.stations);
		std::swap(history, o.history);
		std::swap(error, o.error);
		return *this;
	}
	~step()
	{
		json_object_put(status);
		json_object_put(stations);
		json_object_put(history);
	}
};

report::report(const scenario &s, mesh &m, const std::string &socket_path)
	: s_(s), m_(m), sock_(socket_path)
{
	m_.on_line([this](double t, const std::string &text) { line(t, text); });
}

report::~report()
{
	stop();
	m_.on_line(nullptr);
}

void report::line(double t, const std::string &text)
{
	std::lock_guard<std::mutex> lock(mu_);
	lines_.emplace_back(t, text);
}

// The reply of `method` as a JSON object; null with `err` set.
static json_object *ask(const std::string &sock, const std::string &method,
			const std::string &args, std::string *err)
{
	std::string reply;
	if (!ask_controller(sock, method, args, &reply, err))
		return nullptr;
	json_object *o = json_tokener_parse(reply.c_str());
	if (!o || !json_object_is_type(o, json_type_object)) {
		json_object_put(o);
		*err = method + ": the reply is no JSON object";
		return nullptr;
	}
	return o;
}

// The reasons of a history reply in the scenario's names ("ext2/wl1" where
// the controller says "192.168.1.3/wl1"), as the account prints them.
static void name_reasons(json_object *history, const namer &names)
{
	json_object *list, *reason;
	if (!history || !json_object_object_get_ex(history, "history", &list) ||
	    !json_object_is_type(list, json_type_array))
		return;
	for (size_t i = 0; i < json_object_array_length(list); i++) {
		json_object *e = json_object_array_get_idx(list, i);
		if (json_object_object_get_ex(e, "reason", &reason) &&
		    json_object_is_type(reason, json_type_string))
			json_object_object_add(
				e, "reason",
				json_object_new_string(names(json_object_get_string(reason)).c_str()));
	}
}

void report::take(double at, bool end)
{
	step st;
	st.at = at;
	st.end = end;
	std::string err;
	int pages;
	if ((st.status = ask(sock_, "status", "", &err)) &&
	    (st.stations = ask_all_stations(sock_, &pages, &err)) &&
	    (st.history = ask(sock_, "history", "", &err))) {
		err.clear();
		name_reasons(st.history, namer(s_));
	}
	if (!err.empty()) {
		json_object_put(st.status);
		json_object_put(st.stations);
		json_object_put(st.history);
		st.status = st.stations = st.history = nullptr;
		st.error = err;
	}
	st.t = m_.elapsed();
	std::lock_guard<std::mutex> lock(mu_);
	steps_.push_back(std::move(st));
}

void report::run()
{
	std::vector<double> groups;
	for (const auto &x : s_.timeline)
		if (groups.empty() || x.at > groups.back())
			groups.push_back(x.at);
	take(-1, false);
	for (size_t i = 0; i < groups.size(); i++) {
		double gap = i + 1 < groups.size() ? groups[i + 1] - groups[i] : 2 * SETTLE_S;
		double due = groups[i] + std::min(SETTLE_S, gap / 2);
		std::unique_lock<std::mutex> lock(mu_);
		cv_.wait_for(lock, std::chrono::duration<double>(std::max(0.0, due - m_.elapsed())),
			     [&] { return stopping_ || m_.elapsed() >= due; });
		if (stopping_)
			return;
		lock.unlock();
		take(groups[i], false);
	}
}

void report::follow()
{
	if (!follower_.joinable())
		follower_ = std::thread([this] { run(); });
}

void report::stop()
{
	{
		std::lock_guard<std::mutex> lock(mu_);
		stopping_ = true;
	}
	cv_.notify_all();
	if (follower_.joinable())
		follower_.join();
}

void report::finish()
{
	stop();
	take(m_.elapsed(), true);
}

static void add_string(json_object *o, const char *key, const std::string &v)
{
	json_object_object_add(o, key, json_object_new_string_len(v.data(), static_cast<int>(v.size())));
}

// A copy of the reply (null stays null): the report keeps its own.
static json_object *copy(json_object *o)
{
	return o ? json_object_get(o) : nullptr;
}

bool report::write(const std::string &path, const std::vector<verdict> &verdicts, std::string *err)
{
	json_object *doc = json_object_new_object();
	add_string(doc, "scenario", s_.name);
	add_string(doc, "description", s_.description);
	json_object *boxes = json_object_new_object();
	for (const auto &b : s_.boxes) {
		json_object *x = json_object_new_object();
		add_string(x, "name", b.name);
		add_string(x, "type", b.type);
		json_object_object_add(boxes, b.prefix.c_str(), x);
	}
	json_object_object_add(doc, "boxes", boxes);
	// Stations by every address they use: their own and those repeaters
	// give them.
	json_object *names = json_object_new_object();
	for (const auto &st : s_.stations) {
		add_string(names, mac_text(st.mac).c_str(), st.name);
		for (uint8_t o : s_.oui)
			add_string(names, mac_text(translated_mac(st.mac, o, s_.mobility_domain)).c_str(),
				   st.name);
	}
	json_object_object_add(doc, "names", names);
	json_object *lines = json_object_new_array();
	json_object *steps = json_object_new_array();
	{
		std::lock_guard<std::mutex> lock(mu_);
		for (const auto &l : lines_) {
			json_object *x = json_object_new_object();
			json_object_object_add(x, "t", json_object_new_double(l.first));
			add_string(x, "text", l.second);
			json_object_array_add(lines, x);
		}
		for (const auto &st : steps_) {
			json_object *x = json_object_new_object();
			json_object_object_add(x, "at", json_object_new_double(st.at));
			json_object_object_add(x, "t", json_object_new_double(st.t));
			json_object_object_add(x, "end", json_object_new_boolean(st.end));
			if (st.error.empty()) {
				json_object_object_add(x, "status", copy(st.status));
				json_object_object_add(x, "stations", copy(st.stations));
				json_object_object_add(x, "history", copy(st.history));
			} else {
				add_string(x, "error", st.error);
			}
			json_object_array_add(steps, x);
		}
	}
	json_object_object_add(doc, "lines", lines);
	json_object_object_add(doc, "steps", steps);
	json_object *vs = json_object_new_array();
	for (const auto &v : verdicts) {
		json_object *x = json_object_new_object();
		add_string(x, "label", v.label);
		json_object_object_add(x, "pass", json_object_new_boolean(v.pass));
		add_string(x, "why", v.why);
		json_object_array_add(vs, x);
	}
	json_object_object_add(doc, "verdicts", vs);
	std::string html = page(json_object_to_json_string_ext(doc, JSON_C_TO_STRING_PLAIN));
	json_object_put(doc);

	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	out << html;
	out.close();
	if (!out) {
		*err = "cannot write " + path;
		return false;
	}
	return true;
}

std::string report::page(const std::string &data_json)
{
	// In a script element only "</script" and "<!--" end or bend the
	// text; '<' occurs in JSON only within strings, where \u003c reads the
	// same.
	std::string data;
	data.reserve(data_json.size());
	for (char c : data_json)
		data += c == '<' ? std::string("\\u003c") : std::string(1, c);
	std::string html =
		"<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
		"<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
		"<title>aircoord-sim report</title>\n</head>\n<body>\n<script>\n";
	html += report_meshview_js;
	html += "</script>\n<script>\n";
	html += report_page_js;
	html += "</script>\n<script type=\"application/json\" id=\"aircoord-report\">";
	html += data;
	html += "</script>\n<script>\nAircoordReport.show(document.body, "
		"JSON.parse(document.getElementById('aircoord-report').textContent));\n"
		"</script>\n</body>\n</html>\n";
	return html;
}

} // namespace sim
