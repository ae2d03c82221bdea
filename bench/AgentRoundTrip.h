// One agent request through the CIM switch client against the simulator: the
// round trip that every provider operation and every delivered indication
// pays several times, measured beside them for scale.
#pragma once

#include <benchmark/benchmark.h>

#include "switchclient/CimSwitchClient.h"
#include "switchclient/SipJson.h"

namespace qmsbench {

inline void agentRoundTrips(benchmark::State& state, const char* clientName) {
    ShPtr<provider::CimSwitchClient> client = provider::newCimSwitchClient(clientName, nullptr);
    for (auto _ : state) {
        SipJson message;
        message.GetCmd();
        message.SetCmdParam("OC", 0xE204);
        if (client->request(message, nullptr) != 0) {
            state.SkipWithError("the client could not reach the simulator");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace qmsbench
