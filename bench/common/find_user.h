// MSGFindUser timed the way the agent calls it: one look-up per recipient,
// addresses in the mixed case mail programs write.
#pragma once

#include "kdx.h"
#include "msgsrv.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace arborbench {

struct FindUserRun {
    double perSecond = 0;
    double foundShare = 0;
};

// Every 7th of users' addresses. warm of them are looked up before the clock
// starts (the first call builds the index); then the loop cycles through all.
inline FindUserRun TimeFindUser(benchmark::State& state, int users, size_t warm) {
    KDXValueStruct vs{};
    KDXInitValueStruct(nullptr, &vs);
    std::vector<std::string> addresses;
    for (int i = 0; i < users; i += 7)
        addresses.push_back("User" + std::to_string(i) + "@Example.org");
    char name[256];
    uint32_t ip = 0;
    for (size_t i = 0; i < warm && i < addresses.size(); ++i) {
        MSGFindUser(addresses[i].c_str(), name, 0, &ip, &vs);
        KDXFreeValues(&vs);
    }
    size_t i = 0, found = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        found += MSGFindUser(addresses[i++ % addresses.size()].c_str(), name, 0, &ip, &vs);
        KDXFreeValues(&vs);
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    KDXDestroyValueStruct(&vs);
    const double n = static_cast<double>(state.iterations());
    return {n / s, static_cast<double>(found) / n};
}

} // namespace arborbench
