// The gateway's metrics in the Prometheus text exposition format (version
// 0.0.4), from the statistics and the counters.
#ifndef KST_HTTP_METRICS_H
#define KST_HTTP_METRICS_H

#include <stddef.h>

#include <string>

#include "statistics.h"

struct Counters;

std::string renderMetrics(const Statistics& stats, const Counters& counters, size_t registrySize);

#endif
