// Placeholder: replaced by the real implementation.
#include "src/active_sta.h"

static struct active_sta *as_table[AS_TABLE_SIZE];

void as_table_attach(struct active_sta ***field) { *field = as_table; }
struct active_sta *as_lookup(struct active_sta **, const uint8_t *) { return nullptr; }
struct active_sta *as_update_entry(struct active_sta **, const uint8_t *, const uint8_t *) { return nullptr; }
struct active_sta *create_entry(struct active_sta **, const uint8_t *, const uint8_t *) { return nullptr; }
void as_clean_entry(struct active_sta **, const uint8_t *, const uint8_t *) {}
void as_dump(struct active_sta **) {}
