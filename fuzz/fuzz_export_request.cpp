// A body POSTed to a CIM-XML listener, as anyone on the network may send it:
// answered; when it carries an indication, shown as the readable line and
// passed through the sequence check, as `cimhost listen` does with it.
#include <cstdint>
#include <string_view>

#include "listener/ExportMessage.h"
#include "listener/IndicationLine.h"
#include "listener/SequenceCheck.h"

using namespace cimhost::listener;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One check across inputs, as one listener sees every sender.
    static SequenceCheck sequence;
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    ExportAnswer answer = answerExport({"POST", "MethodRequest", "ExportIndication", "1.0", body});
    if (answer.accepted) {
        indicationLine(answer.request.indication);
        sequence.check(answer.request.indication);
    }
    return 0;
}
