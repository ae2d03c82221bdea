// The interop namespace's store as the host finds it at start-up: read,
// its subscriptions restored and matched against an indication. A store that
// reads cleanly must also survive one change and read back whole.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/Classes.h"
#include "core/IndicationService.h"
#include "tests/common/Interop.h"

using namespace cimhost;

namespace {

size_t count(const IndicationService& service) {
    std::vector<Instance> all;
    service.enumerateInstances("CIM_ManagedElement", &all);
    for (const Instance& inst : all) {
        Instance again;
        service.getInstance(inst.path, &again);
    }
    return all.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A plain array, so that it outlives the clean-up registered with it.
    static char dir[] = "/tmp/fuzz-interop-XXXXXX";
    static const bool made = [] {
        if (!mkdtemp(dir)) __builtin_trap();
        std::atexit([] { std::filesystem::remove_all(dir); });
        return true;
    }();
    (void)made;
    static const std::string store = std::string(dir) + "/interop.json";
    // An input that starts with 'J' is a journal of changes (the rest of it)
    // with no snapshot; any other input is a snapshot with no journal.
    const bool journal = size > 0 && data[0] == 'J';
    const size_t skip = journal ? 1 : 0;
    std::remove((store + ".journal").c_str());
    std::remove(store.c_str());
    std::ofstream(journal ? store + ".journal" : store, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data + skip), static_cast<std::streamsize>(size - skip));

    qmstest::AcceptAll providers;
    const ClassRepository& classes = ClassRepository::builtin();
    size_t before = 0;
    {
        IndicationService service(classes, providers, store);
        const bool clean = service.restore().ok();
        before = count(service);
        auto sink = std::make_shared<qmstest::RecordingSink>();
        service.addSink(sink);
        Instance indication;
        indication.path.className = "QMS_VRXLogEntryArrived";
        indication.properties.set("PerceivedSeverity", Value::uint16(5));
        service.deliver("root/qms", indication);
        if (!clean) return 0;

        Instance destination;
        destination.path.className = "CIM_ListenerDestinationCIMXML";
        destination.properties.set("Name", Value::string("fuzz-round-trip"));
        destination.properties.set("Destination", Value::string("http://localhost:5988"));
        if (!service.createInstance(destination, nullptr).ok()) return 0;
    }
    IndicationService reread(classes, providers, store);
    const Status st = reread.restore();
    if (!st.ok() || count(reread) != before + 1) {
        std::fprintf(stderr, "store did not read back: %s\n", st.message.c_str());
        __builtin_trap();
    }
    return 0;
}
