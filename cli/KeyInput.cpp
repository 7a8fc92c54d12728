#include "KeyInput.h"

std::atomic<int> g_ReturnRequests{0};
static_assert(ATOMIC_INT_LOCK_FREE == 2, "a signal handler bumps it");
