// The settings file of -c (cntlr_settings.cc): read before the first command
// and again, from the loop, on SIGHUP.
#pragma once

#include "src/cntlr.h"

// Takes the settings file of -c (when given) as the configuration, logging
// what became of it, and watches for SIGHUP from the loop: each one reads
// the file again and applies it as set_config does, or keeps the
// configuration when the file is bad. cntlr_settings_stop ends the watch.
void cntlr_settings_start(struct cntlr *c);
void cntlr_settings_stop(void);
// The SIGHUP handler: wakes the watch, nothing more.
void cntlr_on_reload_signal(int sig);
