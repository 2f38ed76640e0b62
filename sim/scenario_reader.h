// Reading a scenario's JSON strictly: each member by key and type, with the
// path of what is wrong in the message (boxes[1].bss[0].bssid: not a MAC
// address ("02:00")), and the members nobody read reported as unknown. A
// failure is thrown as a parse_error, which parse_scenario alone catches.
#pragma once

#include <json-c/json.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <set>
#include <string>

#include "sim/agent.h"

namespace sim {

// Thrown inside the parser only; parse_scenario turns it into its error.
struct parse_error {
	std::string msg;
};

// Throws "path: why" ("scenario: why" for the document itself).
[[noreturn]] void fail(const std::string &path, const std::string &why);
// `v` as JSON text, cut to 40 characters.
std::string quoted(json_object *v);
// "path[i]".
std::string idx(const std::string &path, size_t i);

// An object's members, with the keys that were read, so that leftovers can
// be reported as unknown.
class obj_reader {
public:
	obj_reader(json_object *o, std::string path);
	const std::string &path() const { return path_; }
	std::string at(const std::string &key) const;

	json_object *get(const std::string &key);
	bool has(const std::string &key) const;
	json_object *need(const std::string &key);
	std::string str(const std::string &key, bool required, const std::string &dflt = "");
	int64_t integer(const std::string &key, bool required, int64_t dflt, int64_t lo,
			int64_t hi);
	double number(const std::string &key, bool required, double dflt, double lo, double hi);
	bool boolean(const std::string &key, bool dflt);
	mac_addr mac(const std::string &key, bool required);
	// An array member; null when absent and not required.
	json_object *array(const std::string &key, bool required);
	// Fails on a member outside `keys` and those already read, before the
	// rest is read: a misspelt key then reads as unknown rather than as what
	// its absence leads to further down (a dangling reference, a clash).
	void known(std::initializer_list<const char *> keys);
	void no_unknown_keys();

private:
	json_object *o_;
	std::string path_;
	std::set<std::string> seen_;
};

} // namespace sim
