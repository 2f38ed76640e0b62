// The start-up survey (cntlr_survey.cc): before the loop runs, every node is
// asked for what the controller needs from the first event on.
#pragma once

#include "src/cntlr.h"

// The start-up survey; nodes found after it are marked unsurveyed.
void cntlr_survey(struct cntlr *c);
// Surveys one node the way the start-up survey does: its BSS list, then
// each BSS's association list, so the stations already on it are known.
void cntlr_survey_node(struct cntlr *c, struct node *n);
void cntlr_mobid_resp(struct cntlr *c, char *resp, int len, void *priv);
void cntlr_oui_resp(struct cntlr *c, char *resp, int len, void *priv);
