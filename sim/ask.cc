#include "sim/ask.h"

#include <json-c/json.h>

#include <cstdlib>

#include "bus/blobmsg_json.h"
#include "bus/ubus.h"

namespace sim {

namespace {

struct reply_text {
	std::string json;
};

void take_reply(struct ubus_request *req, int, struct blob_attr *msg)
{
	auto *r = static_cast<reply_text *>(req->priv);
	char *s = msg ? blobmsg_format_json(msg, true) : nullptr;
	if (s)
		r->json = s;
	free(s);
}

} // namespace

bool ask_controller(const std::string &socket_path, const std::string &method,
		    const std::string &args, std::string *reply, std::string *err)
{
	struct ubus_context *ctx = ubus_connect(socket_path.c_str());
	if (!ctx) {
		*err = "no bus at " + socket_path;
		return false;
	}
	struct blob_buf b = {};
	blob_buf_init(&b, 0);
	uint32_t id = 0;
	reply_text r;
	int ret = -1;
	if (!args.empty() && !blobmsg_add_json_from_string(&b, args.c_str()))
		*err = "arguments are not a JSON object";
	else if ((ret = ubus_lookup_id(ctx, "aircoord", &id)) != 0)
		*err = std::string("no aircoord object (") + ubus_strerror(ret) + ")";
	else if ((ret = ubus_invoke(ctx, id, method.c_str(), b.head, take_reply, &r, 3000)) != 0)
		*err = method + ": " + ubus_strerror(ret);
	blob_buf_free(&b);
	ubus_free(ctx);
	*reply = r.json;
	return ret == 0;
}

bus_state look_at_bus(const std::string &socket_path)
{
	struct ubus_context *ctx = ubus_connect(socket_path.c_str());
	if (!ctx)
		return bus_state::none;
	uint32_t id = 0;
	bus_state st = ubus_lookup_id(ctx, "aircoord", &id) == 0 ? bus_state::taken : bus_state::free;
	ubus_free(ctx);
	return st;
}

std::vector<history_entry> parse_history(const std::string &json)
{
	std::vector<history_entry> out;
	json_object *root = json_tokener_parse(json.c_str());
	json_object *arr = nullptr;
	if (root && json_object_object_get_ex(root, "history", &arr) &&
	    json_object_is_type(arr, json_type_array)) {
		for (size_t i = 0; i < json_object_array_length(arr); i++) {
			json_object *e = json_object_array_get_idx(arr, i);
			json_object *v;
			history_entry h;
			if (json_object_object_get_ex(e, "time", &v))
				h.time = json_object_get_int(v);
			if (json_object_object_get_ex(e, "kind", &v))
				h.kind = json_object_get_string(v);
			if (json_object_object_get_ex(e, "sta", &v))
				h.has_sta = parse_mac(json_object_get_string(v), &h.sta);
			if (json_object_object_get_ex(e, "reason", &v))
				h.reason = json_object_get_string(v);
			out.push_back(h);
		}
	}
	json_object_put(root);
	return out;
}

json_object *ask_all_stations(const std::string &socket_path, int *pages, std::string *err)
{
	json_object *all = nullptr, *list = nullptr;
	*pages = 0;
	for (;;) {
		size_t have = list ? json_object_array_length(list) : 0;
		std::string reply;
		if (!ask_controller(socket_path, "stations",
				    "{\"offset\": " + std::to_string(have) + "}", &reply, err)) {
			json_object_put(all);
			return nullptr;
		}
		++*pages;
		json_object *page = json_tokener_parse(reply.c_str());
		json_object *arr = nullptr, *total = nullptr;
		if (!page || !json_object_object_get_ex(page, "stations", &arr) ||
		    !json_object_is_type(arr, json_type_array)) {
			json_object_put(page);
			json_object_put(all);
			*err = "stations: the reply holds no list of stations";
			return nullptr;
		}
		size_t added = json_object_array_length(arr);
		if (!all) {
			all = page;
			list = arr;
		} else {
			for (size_t i = 0; i < added; i++)
				json_object_array_add(list,
						      json_object_get(json_object_array_get_idx(arr, i)));
			if (json_object_object_get_ex(page, "total", &total))
				json_object_object_add(all, "total", json_object_get(total));
			json_object_put(page);
		}
		// A table that shrank between pages ends the walk.
		if (!added || !json_object_object_get_ex(all, "total", &total) ||
		    json_object_array_length(list) >= static_cast<size_t>(json_object_get_int64(total)))
			break;
	}
	json_object_object_del(all, "offset");
	return all;
}

bool ask_stations(const std::string &socket_path, std::vector<station_entry> *out, int *pages,
		  std::string *err)
{
	json_object *all = ask_all_stations(socket_path, pages, err);
	json_object *arr = nullptr, *v;
	out->clear();
	if (!all)
		return false;
	json_object_object_get_ex(all, "stations", &arr);
	for (size_t i = 0; i < json_object_array_length(arr); i++) {
		json_object *e = json_object_array_get_idx(arr, i);
		station_entry st;
		if (json_object_object_get_ex(e, "sta", &v))
			parse_mac(json_object_get_string(v), &st.sta);
		if (json_object_object_get_ex(e, "bssid", &v))
			parse_mac(json_object_get_string(v), &st.bssid);
		out->push_back(st);
	}
	json_object_put(all);
	return true;
}

} // namespace sim
