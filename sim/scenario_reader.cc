#include "sim/scenario_reader.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace sim {

[[noreturn]] void fail(const std::string &path, const std::string &why)
{
	throw parse_error{(path.empty() ? std::string("scenario") : path) + ": " + why};
}

std::string quoted(json_object *v)
{
	const char *s = json_object_to_json_string_ext(v, JSON_C_TO_STRING_PLAIN);
	std::string t = s ? s : "null";
	if (t.size() > 40)
		t = t.substr(0, 37) + "...";
	return t;
}

obj_reader::obj_reader(json_object *o, std::string path) : o_(o), path_(std::move(path))
{
	if (!json_object_is_type(o_, json_type_object))
		fail(path_, "not an object (" + quoted(o_) + ")");
}

std::string obj_reader::at(const std::string &key) const
{
	return path_.empty() ? key : path_ + "." + key;
}

json_object *obj_reader::get(const std::string &key)
{
	seen_.insert(key);
	json_object *v = nullptr;
	if (!json_object_object_get_ex(o_, key.c_str(), &v))
		return nullptr;
	return v;
}

bool obj_reader::has(const std::string &key) const
{
	json_object *v;
	return json_object_object_get_ex(o_, key.c_str(), &v);
}

json_object *obj_reader::need(const std::string &key)
{
	json_object *v = get(key);
	if (!v)
		fail(at(key), "missing");
	return v;
}

std::string obj_reader::str(const std::string &key, bool required, const std::string &dflt)
{
	json_object *v = required ? need(key) : get(key);
	if (!v)
		return dflt;
	if (!json_object_is_type(v, json_type_string))
		fail(at(key), "not a string (" + quoted(v) + ")");
	return json_object_get_string(v);
}

int64_t obj_reader::integer(const std::string &key, bool required, int64_t dflt, int64_t lo,
			    int64_t hi)
{
	json_object *v = required ? need(key) : get(key);
	if (!v)
		return dflt;
	int64_t x;
	if (json_object_is_type(v, json_type_int)) {
		x = json_object_get_int64(v);
	} else if (json_object_is_type(v, json_type_string)) {
		// Hex texts ("0x108f") for bit fields.
		const char *s = json_object_get_string(v);
		char *end = nullptr;
		errno = 0;
		x = strtoll(s, &end, 0);
		if (!*s || *end || errno)
			fail(at(key), "not an integer (" + quoted(v) + ")");
	} else {
		fail(at(key), "not an integer (" + quoted(v) + ")");
	}
	if (x < lo || x > hi)
		fail(at(key), "out of range " + std::to_string(lo) + ".." + std::to_string(hi) +
				      " (" + std::to_string(x) + ")");
	return x;
}

double obj_reader::number(const std::string &key, bool required, double dflt, double lo, double hi)
{
	json_object *v = required ? need(key) : get(key);
	if (!v)
		return dflt;
	if (!json_object_is_type(v, json_type_int) && !json_object_is_type(v, json_type_double))
		fail(at(key), "not a number (" + quoted(v) + ")");
	double x = json_object_get_double(v);
	if (!std::isfinite(x) || x < lo || x > hi)
		fail(at(key), "out of range " + std::to_string(int(lo)) + ".." +
				      std::to_string(int(hi)) + " (" + quoted(v) + ")");
	return x;
}

bool obj_reader::boolean(const std::string &key, bool dflt)
{
	json_object *v = get(key);
	if (!v)
		return dflt;
	if (!json_object_is_type(v, json_type_boolean))
		fail(at(key), "not true or false (" + quoted(v) + ")");
	return json_object_get_boolean(v);
}

mac_addr obj_reader::mac(const std::string &key, bool required)
{
	std::string s = str(key, required);
	mac_addr m{};
	if (s.empty() && !required)
		return m;
	if (!parse_mac(s, &m))
		fail(at(key), "not a MAC address (\"" + s + "\")");
	return m;
}

json_object *obj_reader::array(const std::string &key, bool required)
{
	json_object *v = required ? need(key) : get(key);
	if (v && !json_object_is_type(v, json_type_array))
		fail(at(key), "not an array (" + quoted(v) + ")");
	return v;
}

void obj_reader::known(std::initializer_list<const char *> keys)
{
	for (const char *k : keys)
		seen_.insert(k);
	no_unknown_keys();
}

void obj_reader::no_unknown_keys()
{
	json_object_object_foreach(o_, key, val)
	{
		(void)val;
		if (!seen_.count(key))
			fail(path_, std::string("unknown key \"") + key + "\"");
	}
}

std::string idx(const std::string &path, size_t i)
{
	return path + "[" + std::to_string(i) + "]";
}

} // namespace sim
