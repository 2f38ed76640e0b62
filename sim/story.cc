#include "sim/story.h"

#include <json-c/json.h>

#include <algorithm>
#include <cctype>
#include <functional>

namespace sim {

std::string verdict_lines(const std::vector<verdict> &verdicts)
{
	std::string out;
	for (const auto &v : verdicts) {
		out += "  " + std::string(v.pass ? "PASS " : v.skipped ? "SKIP " : "FAIL ") + v.label;
		if (!v.pass && !v.why.empty())
			out += " (" + v.why + ")";
		out += "\n";
	}
	return out;
}

std::string result_line(const std::vector<verdict> &verdicts)
{
	size_t held = 0, skipped = 0;
	for (const auto &v : verdicts) {
		held += v.pass;
		skipped += v.skipped;
	}
	bool pass = held + skipped == verdicts.size();
	return std::string("result: ") + (pass ? "PASS" : "FAIL") + " (" + std::to_string(held) +
	       " of " + std::to_string(verdicts.size() - skipped) + " expectations hold" +
	       (skipped ? ", " + std::to_string(skipped) + " skipped" : "") + ")\n";
}

bool all_hold(const std::vector<verdict> &verdicts)
{
	for (const auto &v : verdicts)
		if (!v.pass && !v.skipped)
			return false;
	return true;
}

namer::namer(const scenario &s)
{
	for (const auto &b : s.boxes) {
		if (b.prefix.empty()) {
			// The controller calls its own box the router.
			if (b.name != "router")
				swaps_.push_back({"router/", b.name + "/"});
		} else {
			swaps_.push_back({b.prefix + "/", b.name + "/"});
			swaps_.push_back({b.prefix, b.name});
		}
		for (const auto &x : b.bss)
			swaps_.push_back({mac_text(x.bssid), b.name + "/" + x.ifname});
	}
	std::stable_sort(swaps_.begin(), swaps_.end(), [](const swap &a, const swap &b) {
		return a.from.size() > b.from.size();
	});
}

// Whether the character at `i` may continue an address or a name, so that
// "192.168.1.2" is not found in "192.168.1.20" nor "router/" in "myrouter/".
static bool word_char(const std::string &t, size_t i)
{
	if (i >= t.size())
		return false;
	unsigned char c = static_cast<unsigned char>(t[i]);
	return isalnum(c) || c == ':' || c == '_' ||
	       (c == '.' && i + 1 < t.size() && isdigit(static_cast<unsigned char>(t[i + 1])));
}

std::string namer::operator()(const std::string &text) const
{
	std::string out;
	for (size_t i = 0; i < text.size();) {
		const swap *hit = nullptr;
		if (i == 0 || !word_char(text, i - 1))
			for (const auto &s : swaps_)
				if (text.compare(i, s.from.size(), s.from) == 0 &&
				    (s.from.back() == '/' || !word_char(text, i + s.from.size()))) {
					hit = &s;
					break;
				}
		if (hit) {
			out += hit->to;
			i += hit->from.size();
		} else {
			out += text[i++];
		}
	}
	return out;
}

std::string render_map(const std::string &title, const std::vector<map_box> &boxes)
{
	size_t width = 0;
	for (const auto &b : boxes)
		width = std::max(width, b.name.size() + (b.about.empty() ? 0 : 1 + b.about.size()));
	std::string out = title + "\n";
	bool stale = false;
	for (const auto &b : boxes) {
		std::string head = b.name + (b.about.empty() ? "" : " " + b.about);
		std::string line = "  " + head + std::string(width - head.size() + 2, ' ');
		if (b.gone)
			line += "gone from the bus (";
		for (size_t i = 0; i < b.bsses.size(); i++) {
			const map_box::bss &x = b.bsses[i];
			line += (i ? "  " : "") + x.ifname + " ch " + std::to_string(x.channel);
			if (b.gone)
				continue;
			line += " [";
			for (size_t k = 0; k < x.stations.size(); k++)
				line += (k ? ", " : "") + x.stations[k];
			line += "]";
		}
		if (b.gone)
			line += ")";
		if (!b.missing.empty())
			line += "  missing neighbor" + std::string(b.missing.size() > 1 ? "s" : "");
		for (const auto &m : b.missing)
			line += " " + m;
		if (!b.stale.empty())
			line += "  stale neighbor" + std::string(b.stale.size() > 1 ? "s" : "");
		for (const auto &n : b.stale)
			line += " " + n;
		stale |= !b.stale.empty();
		out += line + "\n";
	}
	if (stale)
		out += "  (a stale neighbor is an entry for a BSS that left with its box: the "
		       "controller withdraws those from the router's table only)\n";
	return out;
}

// The log line without its colour sequences, with every pointer value as
// "*" (they differ from run to run and say nothing to the reader).
static std::string plain_line(const std::string &line)
{
	std::string out;
	for (size_t i = 0; i < line.size(); i++) {
		if (line[i] == '\x1b' && i + 1 < line.size() && line[i + 1] == '[') {
			i += 2;
			while (i < line.size() && !isalpha(static_cast<unsigned char>(line[i])))
				i++;
			continue;
		}
		if (line.compare(i, 2, "0x") == 0 && i + 2 < line.size() &&
		    isxdigit(static_cast<unsigned char>(line[i + 2]))) {
			i += 2;
			while (i + 1 < line.size() && isxdigit(static_cast<unsigned char>(line[i + 1])))
				i++;
			out += '*';
			continue;
		}
		out += line[i];
	}
	return out;
}

std::string log_digest(const std::string &log, size_t max_lines)
{
	// The wrapping the logger gives its traces and command traces, after the
	// reset that closes the message before.
	static const char reset[] = "\x1b[0m";
	static const char trace[] = "\x1b[0;32mCNTLR: ";
	static const char command[] = "\x1b[0;33mCNTLR: ";
	std::vector<std::string> kept;
	size_t from = 0;
	while (from < log.size()) {
		size_t end = log.find('\n', from);
		if (end == std::string::npos)
			end = log.size();
		std::string line = log.substr(from, end - from);
		from = end + 1;
		size_t at = 0;
		while (line.compare(at, sizeof(reset) - 1, reset) == 0)
			at += sizeof(reset) - 1;
		if (line.compare(at, sizeof(trace) - 1, trace) == 0 ||
		    line.compare(at, sizeof(command) - 1, command) == 0 ||
		    line.compare(at, 4, "####") == 0)
			continue;
		kept.push_back(plain_line(line));
	}
	std::string out;
	for (size_t i = kept.size() > max_lines ? kept.size() - max_lines : 0; i < kept.size(); i++)
		out += kept[i] + "\n";
	return out;
}

std::string nearest_entries(const std::vector<history_entry> &hist,
			    const std::vector<mac_addr> &sta, const std::string &kind,
			    const namer &names)
{
	auto mine = [&](const history_entry &e) {
		return e.has_sta && std::find(sta.begin(), sta.end(), e.sta) != sta.end();
	};
	const std::function<bool(const history_entry &)> tiers[] = {
		[&](const history_entry &e) { return mine(e) && e.kind == kind; },
		mine,
		[&](const history_entry &e) { return e.kind == kind; },
	};
	for (const auto &near : tiers) {
		std::vector<const history_entry *> found;
		for (const auto &e : hist)
			if (near(e))
				found.push_back(&e);
		if (found.empty())
			continue;
		std::string out;
		for (size_t i = found.size() > 2 ? found.size() - 2 : 0; i < found.size(); i++)
			out += (out.empty() ? "" : "; ") + std::string("[") +
			       std::to_string(found[i]->time) + " s] " + found[i]->kind + ": " +
			       names(found[i]->reason);
		return out;
	}
	return "";
}

std::vector<std::string> parse_node_prefixes(const std::string &json)
{
	std::vector<std::string> out;
	json_object *root = json_tokener_parse(json.c_str());
	json_object *arr = nullptr;
	if (root && json_object_object_get_ex(root, "nodes", &arr) &&
	    json_object_is_type(arr, json_type_array)) {
		for (size_t i = 0; i < json_object_array_length(arr); i++) {
			json_object *prefix = nullptr;
			if (json_object_object_get_ex(json_object_array_get_idx(arr, i), "prefix",
						      &prefix))
				out.push_back(json_object_get_string(prefix));
		}
	}
	json_object_put(root);
	return out;
}

std::vector<std::pair<std::string, int>> parse_watchlist(const std::string &json)
{
	std::vector<std::pair<std::string, int>> out;
	json_object *root = json_tokener_parse(json.c_str());
	json_object *arr = nullptr;
	if (root && json_object_object_get_ex(root, "watchlist", &arr) &&
	    json_object_is_type(arr, json_type_array)) {
		for (size_t i = 0; i < json_object_array_length(arr); i++) {
			json_object *e = json_object_array_get_idx(arr, i);
			json_object *ip = nullptr, *next = nullptr;
			if (json_object_object_get_ex(e, "ip", &ip) &&
			    json_object_object_get_ex(e, "next_in", &next))
				out.push_back({json_object_get_string(ip), json_object_get_int(next)});
		}
	}
	json_object_put(root);
	return out;
}

follower::follower(std::string socket_path, namer names, station_fn station, say_fn say)
	: socket_path_(std::move(socket_path)), names_(std::move(names)),
	  station_(std::move(station)), say_(std::move(say)), thread_([this] { run(); })
{
}

follower::~follower()
{
	{
		std::lock_guard<std::mutex> lock(mu_);
		stop_ = true;
	}
	cv_.notify_all();
	thread_.join();
}

void follower::poke(int delay_ms)
{
	{
		std::lock_guard<std::mutex> lock(mu_);
		due_.push_back(std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms));
	}
	cv_.notify_all();
}

void follower::run()
{
	std::unique_lock<std::mutex> lock(mu_);
	while (!stop_) {
		if (due_.empty()) {
			cv_.wait(lock);
			continue;
		}
		auto when = *std::min_element(due_.begin(), due_.end());
		if (cv_.wait_until(lock, when) != std::cv_status::timeout)
			continue; // a new poke, or the end
		due_.erase(std::min_element(due_.begin(), due_.end()));
		lock.unlock();
		ask();
		lock.lock();
	}
}

void follower::ask()
{
	std::string reply, err;
	if (ask_controller(socket_path_, "history", "", &reply, &err))
		for (const auto &e : parse_history(reply)) {
			std::string who = e.has_sta ? station_(e.sta) : "";
			std::string key = std::to_string(e.time) + e.kind + who + e.reason;
			if (e.kind != "no_steer" || who.empty() || !told_.insert(key).second)
				continue;
			std::string why = e.reason;
			if (why.rfind("not steered: ", 0) == 0)
				why = why.substr(13);
			say_("controller did not steer " + who + ": " + names_(why));
		}
	if (!ask_controller(socket_path_, "status", "", &reply, &err))
		return;
	std::set<std::string> now;
	for (const auto &w : parse_watchlist(reply)) {
		now.insert(w.first);
		if (!watched_.count(w.first))
			say_("controller watches " + names_(w.first) + " for radar: next look in " +
			     std::to_string(w.second) + " s");
	}
	watched_ = now;
}

} // namespace sim
