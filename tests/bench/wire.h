// The bench's descriptor writer, shared with the scenario tables.
#ifndef QX_BENCH_WIRE_H
#define QX_BENCH_WIRE_H

#include "bench.h"

namespace bench::wire {

// Writes all of `data`, waiting on a full descriptor; false on an error.
bool WriteAll(int fd, const std::string &data);

} // namespace bench::wire

#endif // QX_BENCH_WIRE_H
