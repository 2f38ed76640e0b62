#include <json-c/json.h>

#include <cstring>

#include "bus/blobmsg.h"
#include "bus/blobmsg_json.h"
#include "bus/ubus.h"
#include "sim/host.h"
#include "sim/host_impl.h"

namespace sim {

static int topology_tree_handler(struct ubus_context *ctx, struct ubus_object *obj,
				 struct ubus_request_data *req, const char *method,
				 struct blob_attr *msg);

static const struct ubus_method topology_methods[] = {
	UBUS_METHOD_NOARG("tree", topology_tree_handler),
};

struct topology::impl {
	class host *h;
	topology *self;
	std::string tree; // "" builds the tree from the agents
	bool present = false;
	struct ubus_object_type type {};
	struct ubus_object obj {};
};

static std::string build_tree(host::impl *H, const std::string &router_ip)
{
	json_object *root = json_object_new_object();
	json_object *nodes = json_object_new_array();
	for (auto &a : H->agents) {
		agent_config c = a->config();
		if (!a->present())
			continue;
		json_object *n = json_object_new_object();
		json_object_object_add(n, "mac", json_object_new_string(mac_text(c.macaddr).c_str()));
		json_object_object_add(
			n, "ip", json_object_new_string(c.prefix.empty() ? router_ip.c_str()
									 : c.prefix.c_str()));
		json_object_object_add(n, "depth", json_object_new_int(c.prefix.empty() ? 0 : c.depth));
		json_object_object_add(n, "connection_type",
				       json_object_new_string(c.connection_type.c_str()));
		json_object_object_add(n, "node_type", json_object_new_string(c.node_type.c_str()));
		json_object_array_add(nodes, n);
	}
	json_object_object_add(root, "nodes", nodes);
	std::string text = json_object_to_json_string_ext(root, JSON_C_TO_STRING_PLAIN);
	json_object_put(root);
	return text;
}

static int topology_tree_handler(struct ubus_context *ctx, struct ubus_object *obj,
				 struct ubus_request_data *req, const char *, struct blob_attr *)
{
	auto *t = static_cast<topology::impl *>(obj->priv);
	std::string text = t->self->tree();
	struct blob_buf b;
	memset(&b, 0, sizeof(b));
	blob_buf_init(&b, 0);
	if (!blobmsg_add_json_from_string(&b, text.c_str())) {
		blob_buf_free(&b);
		return UBUS_STATUS_UNKNOWN_ERROR;
	}
	ubus_send_reply(ctx, req, b.head);
	blob_buf_free(&b);
	return 0;
}

topology::topology(class host &h) : impl_(new impl)
{
	impl_->h = &h;
	impl_->self = this;
	impl_->type.name = "topology";
	impl_->type.methods = topology_methods;
	impl_->type.n_methods = 1;
	impl_->obj.name = "topology";
	impl_->obj.path = "topology";
	impl_->obj.type = &impl_->type;
	impl_->obj.methods = topology_methods;
	impl_->obj.n_methods = 1;
	impl_->obj.priv = impl_;
}

topology::~topology()
{
	vanish();
	delete impl_;
}

void topology::set_tree(const std::string &json)
{
	impl_->h->run([&] { impl_->tree = json; });
}

std::string topology::tree() const
{
	std::string out;
	impl_->h->run([&] {
		out = impl_->tree.empty() ? build_tree(impl_->h->impl_, router_ip) : impl_->tree;
	});
	return out;
}

void topology::raise_event(const std::string &name, const std::string &json)
{
	impl_->h->send_event(name, json);
}

bool topology::present() const
{
	bool p = false;
	impl_->h->run([&] { p = impl_->present; });
	return p;
}

void topology::vanish()
{
	impl_->h->run([&] {
		host::impl *H = impl_->h->impl_;
		if (!impl_->present)
			return;
		impl_->present = false;
		if (H->ctx && !H->shutting_down)
			ubus_remove_object(H->ctx, &impl_->obj);
	});
}

void topology::rejoin()
{
	if (!impl_->present)
		return;
	impl_->present = false;
	reappear();
}

void topology::reappear()
{
	impl_->h->run([&] {
		host::impl *H = impl_->h->impl_;
		if (impl_->present || !H->ctx || H->shutting_down)
			return;
		impl_->obj.id = 0;
		impl_->type.id = 0;
		ubus_add_object(H->ctx, &impl_->obj);
		impl_->present = true;
	});
}

} // namespace sim
