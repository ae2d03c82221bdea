// A text received from the agent: loaded into a message, read through every
// reader a reply or event goes through, answered in place, and pushed into
// the facade's event decoding (the facade asks nothing of the agent until an
// operation does, so no agent is needed).
#include <cstdint>
#include <string>
#include <vector>

#include "switchclient/SipJson.h"
#include "switchclient/ThreadedSwitchClient.h"
#include "tolm/TOLMCalls.h"

namespace {

// Reads what the facade hands over, so a bad argument shows under the sanitizers.
struct Listener : provider::TOLMEventsListener {
    size_t seen = 0;
    void onSystemMessageLogEntry(unsigned int seqNr) override { seen += seqNr; }
    void onLogMessageArguments(const cimple::Array<cimple::String>& args) override {
        for (size_t i = 0; i < args.size(); ++i) seen += std::string(args[i].c_str()).size();
    }
    void onRaidEvent(const std::string& msg) override { seen += msg.size(); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Listener listener;
    static ShPtr<provider::TOLMCalls> calls = [] {
        ShPtr<provider::TOLMCalls> c = provider::newTOLMCalls("fuzz");
        c->setListener(&listener);
        return c;
    }();
    static auto* const events = dynamic_cast<provider::ThreadedSwitchClient::EventListener*>(calls.get());

    const std::string text(reinterpret_cast<const char*>(data), size);
    SipJson sip;
    sip.LoadReceivedText(text);
    for (int index = -1; index < 4; ++index) {
        unsigned number = 0;
        std::string str;
        std::vector<unsigned char> bytes;
        CDataStruct copy;
        sip.GetCmdDataType(index);
        sip.GetCmdDataSize(index);
        sip.GetCmdUIntData(index, number);
        for (const char* name : {"OC", "OE", "OI", "CA", "ST"}) sip.GetCmdElemValue(index, name, 0);
        sip.GetCmdDataString(index, str, 0);
        sip.GetCmdDataString(index, str, 3);
        sip.GetCmdDataStream(index, bytes);
        sip.GetCmdDataStruct(index, copy);
    }
    sip.HasReplyData();
    sip.ToString();

    // The facade decodes the event at the command index the text leaves.
    events->onEvent(sip);

    // An answer written into whatever the text left, as a reply is built in place.
    sip.SetCmdIndex(size ? data[0] % 3 : 0);
    sip.SetCmdParam("OI", 7, "Adapter");
    sip.SetDataRaw(data, size < 64 ? size : 64, 0);
    sip.SetReplyDataString(text.c_str(), 0);
    sip.ToString();
    return 0;
}
