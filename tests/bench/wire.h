// The bench's descriptor writer (bench::wire::WriteAll), declared in bench.h.
#include "bench.h"
