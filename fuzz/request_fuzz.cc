// The aircoord object's request parsing, fed arbitrary bytes as the argument
// table a method handler receives: its root fits the bytes received (the bus
// checks that much), nothing inside it is checked. The arguments of
// stations and history, and those of set_config.
#include <cstdint>

#include "bus/blob.h"
#include "src/cntlr.h"
#include "src/cntlr_config.h"
#include "src/cntlr_ubus.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	auto *msg = reinterpret_cast<struct blob_attr *>(const_cast<uint8_t *>(data));
	struct cntlr_config cur, out;
	struct cntlr_query q;
	char why[96];

	if (!blob_attr_fits(msg, size))
		return 0;
	cntlr_query_parse(msg, true, &q);
	cntlr_query_parse(msg, false, &q);
	cntlr_config_defaults(&cur);
	cntlr_config_parse(&cur, msg, &out, why, sizeof(why));
	return 0;
}
