#pragma once

// Scrapes of the desktop program's /metrics endpoint, four slots' outcomes on the board: the
// median and the 95th percentile of 1000 requests (connect, GET, whole answer read), printed with
// the goal (under 1 ms at the median). Runs the event loop of the calling thread meanwhile.
void BenchMetricsScrape();
