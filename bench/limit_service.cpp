// The hand-written limit calling the key-credential service: limit.c, compiled as C++.
#define BENCH_CALL_SERVICE
#define BENCH_LIMIT_NAME bench_limit_service
#include "limit.c"
