// Intrusive doubly-linked lists and the container-of idiom.
//
// A record that sits on a list embeds a `list_head` member; the list itself
// is a `list_head` whose next/prev point at the members of the entries.
// Lists run in insertion order when entries go in with list_add_tail and
// newest first with list_add. The list owns nothing: whoever unlinks an entry
// (list_del) decides its fate. list_del clears the links of the entry it
// removes, so a dangling use shows up as a null dereference, not as silent
// corruption of a neighbour.
//
// Plain C declarations and C-style macros, the same shape as the router's
// list header, so that code written against one builds against the other.
#pragma once

#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct list_head {
	struct list_head *next;
	struct list_head *prev;
};

#define LIST_HEAD_INIT(name) {&(name), &(name)}
#define LIST_HEAD(name) struct list_head name = LIST_HEAD_INIT(name)

// Finds the record that embeds `member` at address `ptr`.
#define container_of(ptr, type, member) ((type *)((char *)(ptr) - offsetof(type, member)))

static inline void INIT_LIST_HEAD(struct list_head *list)
{
	list->next = list;
	list->prev = list;
}

static inline bool list_empty(const struct list_head *head)
{
	return head->next == head;
}

static inline void _list_add(struct list_head *_new, struct list_head *prev, struct list_head *next)
{
	next->prev = _new;
	_new->next = next;
	_new->prev = prev;
	prev->next = _new;
}

// Inserts at the head: the list runs newest first.
static inline void list_add(struct list_head *_new, struct list_head *head)
{
	_list_add(_new, head, head->next);
}

// Inserts at the tail: the list runs oldest first.
static inline void list_add_tail(struct list_head *_new, struct list_head *head)
{
	_list_add(_new, head->prev, head);
}

// Unlinks `entry` and clears its links.
static inline void list_del(struct list_head *entry)
{
	entry->next->prev = entry->prev;
	entry->prev->next = entry->next;
	entry->next = NULL;
	entry->prev = NULL;
}

// Unlinks `entry` and leaves it as an empty list of its own.
static inline void list_del_init(struct list_head *entry)
{
	entry->next->prev = entry->prev;
	entry->prev->next = entry->next;
	INIT_LIST_HEAD(entry);
}

static inline bool list_is_linked(const struct list_head *entry)
{
	return entry->next != NULL && entry->next != entry;
}

#define list_entry(ptr, type, field) container_of(ptr, type, field)
#define list_first_entry(ptr, type, field) list_entry((ptr)->next, type, field)
#define list_last_entry(ptr, type, field) list_entry((ptr)->prev, type, field)

#define list_for_each(p, head) for (p = (head)->next; p != (head); p = p->next)

#define list_for_each_safe(p, n, head) \
	for (p = (head)->next, n = p->next; p != (head); p = n, n = p->next)

#define list_for_each_entry(p, h, field)                          \
	for (p = list_first_entry(h, __typeof__(*p), field);      \
	     &p->field != (h);                                     \
	     p = list_entry(p->field.next, __typeof__(*p), field))

// Walk that may unlink and free the current entry: it advances first.
#define list_for_each_entry_safe(p, n, h, field)                   \
	for (p = list_first_entry(h, __typeof__(*p), field),       \
	    n = list_entry(p->field.next, __typeof__(*p), field);  \
	     &p->field != (h);                                      \
	     p = n, n = list_entry(n->field.next, __typeof__(*n), field))

#ifdef __cplusplus
}
#endif
