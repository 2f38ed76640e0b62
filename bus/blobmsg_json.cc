// Placeholder: replaced by the real implementation.
#include "bus/blobmsg_json.h"

char *blobmsg_format_json_with_cb(struct blob_attr *, bool, blobmsg_json_format_t, void *, int)
{
	return nullptr;
}

char *blobmsg_format_json_value_with_cb(struct blob_attr *, blobmsg_json_format_t, void *, int)
{
	return nullptr;
}

bool blobmsg_add_object(struct blob_buf *, json_object *)
{
	return false;
}

bool blobmsg_add_json_element(struct blob_buf *, const char *, json_object *)
{
	return false;
}

bool blobmsg_add_json_from_string(struct blob_buf *, const char *)
{
	return false;
}
