// Placeholder: replaced by the real implementation.
#include "src/log.h"

#include <cstdarg>

FILE *log_stream;
int log_fifo_fd;

void log_open(void) { log_stream = stderr; }
void log_close(void) {}

extern "C" void log_message(int, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	if (log_stream)
		vfprintf(log_stream, fmt, ap);
	va_end(ap);
}
