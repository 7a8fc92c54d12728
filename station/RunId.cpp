#include "RunId.h"

#include <chrono>
#include <cstdio>
#include <random>

std::string NewRunId()
{
    std::random_device device;
    // The clock too, should the device be a fixed sequence on some platform.
    std::seed_seq seed{device(), device(), device(), device(),
                       static_cast<unsigned>(std::chrono::system_clock::now().time_since_epoch().count()),
                       static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count())};
    std::mt19937_64 gen(seed);
    char text[33];
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(gen()),
                  static_cast<unsigned long long>(gen()));
    return text;
}
