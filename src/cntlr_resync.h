// Agents that restart or answer again, and boxes found after the start-up
// survey (cntlr_resync.cc): driven again, or surveyed, from the loop.
#pragma once

#include "src/cntlr.h"

// Right after the neighbor timer's rescan: remote nodes without a MAC ask
// the ARP cache again, the exclusion list goes out to all when it changed
// (a MAC learnt, a node found since the start-up survey), new nodes are
// surveyed, and nodes marked restarted are driven again. An unresponsive
// node keeps its marks until it answers.
void cntlr_resync_nodes(struct cntlr *c);
// resync_timer, armed for 0 ms by whatever cannot send from where it runs
// (a bus handler that must reply first, an asynchronous callback): the
// exclusion list when exclude_pending, then the marked nodes as above.
void cntlr_resync_timer(struct uloop_timeout *t);
// A restarted agent forgot what it was told: the exclusion list (with
// `exclude`) and, on the local node, a channel change it has not answered
// yet or, while a radar hold runs, the hold's channel. Its neighbor entries
// come with the next pass.
void node_redrive(struct cntlr *c, struct node *n, bool exclude);
// The agent of a known box was added again (presence event): the box's ids
// are looked up anew and, when its agent's id changed, the channel hold is
// brought back.
void node_agent_added(struct cntlr *c, struct node *n, const char *prefix);
