// Placeholder: replaced by the real implementation.
#include "src/cntlr.h"

int start_controller(void) { return -1; }
void cntlr_init(struct cntlr *) {}
void cntlr_discover(struct cntlr *) {}
void cntlr_register_handlers(struct cntlr *) {}
