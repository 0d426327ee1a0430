/* State shared between the stand-in's source files; not part of its API. */
#ifndef QX_HOST_INTERNAL_H
#define QX_HOST_INTERNAL_H

#include "host.h"

#include <string>

namespace host {

extern HostCounters counters;

// Records an engine error (evaluation, type, argument) for
// host_last_engine_error().
void record_error(const std::string &text);

// Sets the text Stream_errmes() returns.
void set_stream_error(const std::string &text);

} // namespace host

#endif
