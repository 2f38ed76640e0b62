// Placeholder: replaced by the real implementation.
#include "src/cntlr.h"

void cntlr_survey(struct cntlr *) {}
void cntlr_mobid_resp(struct cntlr *, char *, int, void *) {}
void cntlr_oui_resp(struct cntlr *, char *, int, void *) {}
