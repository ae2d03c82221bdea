// The model singleton behind a fake facade, with the CIMOM's end of delivery.
// Whichever test first fetches the model makes it; every fake answers the
// same identity, so the tests hold in any order and alone.
#pragma once

#include <cimple/Memory_Cimom.h>
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "FakeTOLM.h"
#include "model/IndicationModel.h"
#include "support/provider_utils.h"
#include "tolm/TOLMIndication.h"

namespace provider {
namespace model_test {

// A copy of every delivered indication, and the count of final calls that
// release the handler.
struct Recorder {
    static bool proc(cimple::Instance* instance, void* context) {
        auto* self = static_cast<Recorder*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        if (!instance) return ++self->releases;
        self->received.emplace_back(cimple::clone(cimple::cast<cimple::QMS_VRXLogEntryArrived>(instance)));
        return true;
    }
    size_t delivered() {
        std::lock_guard<std::mutex> lock(mutex);
        return received.size();
    }
    std::mutex mutex;
    std::vector<cimple::Ref<cimple::QMS_VRXLogEntryArrived>> received;
    int releases = 0;
};

inline QMS_VRXLogEntryArrivedIndicationModel& indications() {
    return getQMS_VRXLogEntryArrivedIndicationModel();
}
inline TOLMEventsListener& events() { return dynamic_cast<TOLMEventsListener&>(indications()); }

inline void enable(Recorder& recorder) {
    cimple::Auto_Mutex lock(indications().recursiveMutex());
    indications().enableIndications(
        new cimple::Indication_Handler<cimple::QMS_VRXLogEntryArrived>(&Recorder::proc, &recorder));
}
inline void disable() {
    cimple::Auto_Mutex lock(indications().recursiveMutex());
    indications().disableIndications();
}

class ModelFixture : public ::testing::Test {
protected:
    ModelFixture() : fake(new ::testing::NiceMock<FakeTOLM>), calls(fake) {
        fake->installDefaults();
        initTOLMIndicationWith(calls);
        cimple::cimom::set_cimom_binding(&cimom);
    }
    ~ModelFixture() override {
        cimple::cimom::set_cimom_binding(nullptr);
        initTOLMIndication(false);
    }
    ::testing::NiceMock<FakeTOLM>* fake;
    ShPtr<TOLMCalls> calls;
    cimple::Memory_Cimom cimom;
};

}  // namespace model_test
}  // namespace provider
