#include "export/IndicationServiceInstance.h"

#include <rapidjson/document.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "core/InteropStore.h"
#include "core/ValueVisitor.h"
#include "export/Exporter.h"

namespace cimhost {

const char kIndicationServiceClass[] = "CIM_IndicationService";

namespace {

const char kInterop[] = "root/interop";

std::string hostName() {
    char name[256];
    if (gethostname(name, sizeof name) != 0) name[0] = '\0';
    name[sizeof name - 1] = '\0';
    return name;
}

ObjectPath servicePath() {
    ObjectPath p;
    p.nameSpace = kInterop;
    p.className = kIndicationServiceClass;
    p.keys.set("CreationClassName", Value::string(kIndicationServiceClass));
    p.keys.set("Name", Value::string("cimhost"));
    p.keys.set("SystemCreationClassName", Value::string("CIM_ComputerSystem"));
    p.keys.set("SystemName", Value::string(hostName()));
    return p;
}

// The path names the instance: its keys, compared as the service's own
// (class and namespace names without regard to case, the host ignored).
bool namesService(const ObjectPath& path) {
    ObjectPath own = servicePath();
    ObjectPath given = path;
    if (given.nameSpace.empty()) given.nameSpace = own.nameSpace;
    return given == own;
}

// An integer setting in [0, max]; false for anything else (a char16 is a
// character, not a count).
class Setting : public ValueVisitor<Setting, bool> {
public:
    Setting(uint64_t max, uint64_t* out) : max_(max), out_(out) {}

    bool unsignedInteger(uint64_t x) {
        *out_ = x;
        return x <= max_;
    }
    bool signedInteger(int64_t x) { return x >= 0 && unsignedInteger(static_cast<uint64_t>(x)); }

    bool null(CMPIType) { return false; }
    bool array(CMPIType, const std::vector<Value>&) { return false; }
    bool boolean(bool) { return false; }
    bool char16(uint16_t) { return false; }
    bool real(double) { return false; }
    bool text(const std::string&) { return false; }
    bool reference(const ObjectPath&) { return false; }
    bool instance(const Instance&) { return false; }
    bool other(const Value&) { return false; }

private:
    uint64_t max_;
    uint64_t* out_;
};

bool setting(const Value& v, uint64_t max, uint64_t* out) {
    Setting reader(max, out);
    return visitValue(v, reader);
}

}  // namespace

Instance indicationServiceInstance(const Exporter& exporter) {
    Instance i;
    i.path = servicePath();
    for (const auto& key : i.path.keys) i.properties.set(key.first, key.second);
    i.properties.set("ElementName", Value::string("cimhost indication service"));
    i.properties.set("FilterCreationEnabled", Value::boolean(true));
    i.properties.set("DeliveryRetryAttempts", Value::uint16(static_cast<uint16_t>(exporter.retryAttempts())));
    i.properties.set("DeliveryRetryInterval",
                     Value::uint32(static_cast<uint32_t>(exporter.retryInterval().count() / 1000)));
    return i;
}

Status getIndicationService(const Exporter& exporter, const ObjectPath& path, Instance* out) {
    if (!namesService(path)) return Status::error(CMPI_RC_ERR_NOT_FOUND, "no instance " + path.toText());
    *out = indicationServiceInstance(exporter);
    return Status();
}

Status modifyIndicationService(Exporter& exporter, const Instance& instance) {
    if (!namesService(instance.path))
        return Status::error(CMPI_RC_ERR_NOT_FOUND, "no instance " + instance.path.toText());
    const Instance current = indicationServiceInstance(exporter);
    uint64_t attempts = exporter.retryAttempts();
    uint64_t interval = static_cast<uint64_t>(exporter.retryInterval().count() / 1000);
    for (const auto& p : instance.properties) {
        if (sameName(p.first, "DeliveryRetryAttempts")) {
            if (!setting(p.second, std::numeric_limits<uint16_t>::max(), &attempts))
                return Status::error(CMPI_RC_ERR_INVALID_PARAMETER,
                                     "DeliveryRetryAttempts must be a uint16, not " + p.second.toText());
        } else if (sameName(p.first, "DeliveryRetryInterval")) {
            if (!setting(p.second, std::numeric_limits<uint32_t>::max(), &interval))
                return Status::error(
                    CMPI_RC_ERR_INVALID_PARAMETER,
                    "DeliveryRetryInterval must be a uint32 (seconds), not " + p.second.toText());
        } else {
            const Value* now = current.property(p.first);
            if (!now || *now != p.second)
                return Status::error(CMPI_RC_ERR_NOT_SUPPORTED,
                                     p.first +
                                         " cannot be set; DeliveryRetryAttempts and "
                                         "DeliveryRetryInterval can");
        }
    }
    exporter.setRetry(static_cast<unsigned>(attempts), std::chrono::seconds(interval));
    return Status();
}

Status saveRetrySettings(const Exporter& exporter, const std::string& file) {
    const std::string text =
        "{\"DeliveryRetryAttempts\":" + std::to_string(exporter.retryAttempts()) +
        ",\"DeliveryRetryInterval\":" + std::to_string(exporter.retryInterval().count() / 1000) + "}\n";
    return replaceFileWhole(file, text, true);
}

Status loadRetrySettings(Exporter& exporter, const std::string& file) {
    removeInterruptedWrites(file);
    std::string text;
    if (!readFileWhole(file, &text))
        return errno == ENOENT ? Status()
                               : Status::error(CMPI_RC_ERR_FAILED, file + ": " + std::strerror(errno));
    rapidjson::Document doc;
    doc.Parse(text.c_str(), text.size());
    const auto number = [&](const char* name, uint64_t max, uint64_t* out) {
        if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember(name) || !doc[name].IsUint64() ||
            doc[name].GetUint64() > max)
            return false;
        *out = doc[name].GetUint64();
        return true;
    };
    uint64_t attempts = 0, interval = 0;
    if (!number("DeliveryRetryAttempts", std::numeric_limits<uint16_t>::max(), &attempts) ||
        !number("DeliveryRetryInterval", std::numeric_limits<uint32_t>::max(), &interval))
        return Status::error(CMPI_RC_ERR_FAILED,
                             file + ": not {\"DeliveryRetryAttempts\":N,\"DeliveryRetryInterval\":S}");
    exporter.setRetry(static_cast<unsigned>(attempts), std::chrono::seconds(interval));
    return Status();
}

}  // namespace cimhost
