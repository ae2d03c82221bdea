#include "support/provider_utils.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/provider_trace.h"

namespace provider {

namespace {

cimple::String formatted(const char* format, unsigned value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, format, value);
    return cimple::String(buffer);
}

cimple::String formattedSigned(int value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%d", value);
    return cimple::String(buffer);
}

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Marks a code that an operation's table does not know.
const int kNotInTable = -1;

// One row of a status table: the statuses for the six codes the module uses.
struct StatusRow {
    const char* function;
    int success, failed, accessDenied, invalidParameter, notFound, notSupported;
};

int mapStatus(const StatusRow& row, CimError error) {
    int status = kNotInTable;
    switch (error) {
        case CIM_ERR_SUCCESS:
            return row.success;
        case CIM_ERR_FAILED:
            status = row.failed;
            break;
        case CIM_ERR_ACCESS_DENIED:
            status = row.accessDenied;
            break;
        case CIM_ERR_INVALID_PARAMETER:
            status = row.invalidParameter;
            break;
        case CIM_ERR_NOT_FOUND:
            status = row.notFound;
            break;
        case CIM_ERR_NOT_SUPPORTED:
            status = row.notSupported;
            break;
    }
    if (status == kNotInTable) {
        trace(1, "%s(): unknown CimError code: %d", row.function, static_cast<int>(error));
        status = row.failed;
    }
    return status;
}

// A derived exception's text: its base's, then one named number.
cimple::String withField(cimple::String text, const char* name, int value) {
    text.append(name);
    text.append(toDecString(value));
    return text;
}

}  // namespace

// ---------------------------------------------------------------- exceptions

BaseException::BaseException(const char* file, int32_t line, const cimple::String& message)
    : file_(file), line_(line), message_(message) {}

BaseException::~BaseException() = default;

cimple::String BaseException::toString() const {
    cimple::String text(className());
    text.append(": ");
    text.append(fullText());
    return text;
}

const char* BaseException::className() const { return "BaseException"; }

cimple::String BaseException::fullText() const {
    cimple::String text("file=\"");
    text.append(file_ ? file_ : "");
    text.append("\" line=");
    text.append(toDecString(static_cast<int>(line_)));
    text.append(" message=\"");
    text.append(message_);
    text.append("\"");
    return text;
}

void BaseException::trace() const { provider::trace(1, "traceAndThrow(): %s", toString().c_str()); }

CimErrorException::CimErrorException(const char* file, int32_t line, const cimple::String& message,
                                     CimError cimError)
    : BaseException(file, line, message), cimError_(cimError) {}

const char* CimErrorException::className() const { return "CimErrorException"; }

cimple::String CimErrorException::fullText() const {
    return withField(BaseException::fullText(), " cimErr=", static_cast<int>(cimError_));
}

HandlerException::HandlerException(const char* file, int32_t line, const cimple::String& message, int32_t id)
    : BaseException(file, line, message), id_(id) {}

const char* HandlerException::className() const { return "HandlerException"; }

cimple::String HandlerException::fullText() const {
    return withField(BaseException::fullText(), " id=", static_cast<int>(id_));
}

// --------------------------------------------------------------- conversions

cimple::String toDecString(int value) { return formattedSigned(value); }
cimple::String toDecString(unsigned int value) { return formatted("%u", value); }
cimple::String toHexString(int value) { return formatted("%x", static_cast<unsigned>(value)); }
cimple::String toHexString(unsigned int value) { return formatted("%x", value); }

cimple::Datetime toDatetime(const cimple::String&) { return cimple::Datetime(); }

cimple::Datetime toDatetime(long seconds) {
    // Unsigned arithmetic: a time far outside the range wraps instead of
    // being undefined.
    return cimple::Datetime(static_cast<uint64_t>(seconds) * 1000000u, 0);
}

cimple::Datetime toDatetime(long seconds, int offsetMinutes) {
    // The agent's offset is applied in 32 bits; an absurd offset wraps
    // there rather than overflowing.
    const int32_t offsetSeconds = static_cast<int32_t>(static_cast<uint32_t>(offsetMinutes) * 60u);
    if (offsetSeconds < seconds) {
        const uint64_t utc = static_cast<uint64_t>(seconds) - static_cast<uint64_t>(int64_t{offsetSeconds});
        return cimple::Datetime(utc * 1000000u, offsetMinutes);
    }
    return toDatetime(seconds);
}

cimple::String STDSTRINGToString(const std::string& text) { return cimple::String(text.c_str()); }

std::string StringToSTDSTRING(const cimple::String& text) { return std::string(text.c_str()); }

bool parseDeviceID(const cimple::String& id, TOLMKey& key) {
    const char* text = id.c_str();
    const size_t length = std::strlen(text);
    if (length > 9 || length != id.size()) return false;

    const char* dash = std::strchr(text, '-');
    if (dash == nullptr || dash == text || dash[1] == '\0') return false;
    for (const char* p = text; *p; ++p) {
        if (p != dash && !isHexDigit(*p)) return false;
    }
    // At most 8 digits in all, so neither group can overflow 32 bits.
    key = TOLMKey{};
    key.cabNr = static_cast<uint32_t>(std::strtoul(text, nullptr, 16));
    key.objId = static_cast<uint32_t>(std::strtoul(dash + 1, nullptr, 16));
    return true;
}

// ----------------------------------------------------------- status mapping

int toGetInstanceStatus(CimError error) {
    static const StatusRow row{"toGetInstanceStatus",
                               cimple::GET_INSTANCE_OK,
                               cimple::GET_INSTANCE_FAILED,
                               cimple::GET_INSTANCE_ACCESS_DENIED,
                               cimple::GET_INSTANCE_INVALID_PARAMETER,
                               cimple::GET_INSTANCE_NOT_FOUND,
                               cimple::GET_INSTANCE_UNSUPPORTED};
    return mapStatus(row, error);
}

int toEnumInstancesStatus(CimError error) {
    // Only three codes are known here, looked up by their index.
    static const int table[3] = {cimple::ENUM_INSTANCES_OK, cimple::ENUM_INSTANCES_FAILED,
                                 cimple::ENUM_INSTANCES_ACCESS_DENIED};
    const int code = static_cast<int>(error);
    if (code >= 0 && code < 3) return table[code];
    trace(1, "toEnumInstancesStatus(): unknown CimError code: %d", code);
    return cimple::ENUM_INSTANCES_FAILED;
}

int toDeleteInstanceStatus(CimError error) {
    static const StatusRow row{"toDeleteInstanceStatus",
                               cimple::DELETE_INSTANCE_OK,
                               cimple::DELETE_INSTANCE_FAILED,
                               cimple::DELETE_INSTANCE_ACCESS_DENIED,
                               kNotInTable,
                               cimple::DELETE_INSTANCE_NOT_FOUND,
                               cimple::DELETE_INSTANCE_UNSUPPORTED};
    return mapStatus(row, error);
}

int toModifyInstanceStatus(CimError error) {
    static const StatusRow row{"toModifyInstanceStatus",
                               cimple::MODIFY_INSTANCE_OK,
                               cimple::MODIFY_INSTANCE_FAILED,
                               cimple::MODIFY_INSTANCE_ACCESS_DENIED,
                               cimple::MODIFY_INSTANCE_INVALID_PARAMETER,
                               cimple::MODIFY_INSTANCE_NOT_FOUND,
                               cimple::MODIFY_INSTANCE_UNSUPPORTED};
    return mapStatus(row, error);
}

int toInvokeMethodStatus(CimError error) {
    static const StatusRow row{"toInvokeMethodStatus",
                               cimple::INVOKE_METHOD_OK,
                               cimple::INVOKE_METHOD_FAILED,
                               cimple::INVOKE_METHOD_ACCESS_DENIED,
                               kNotInTable,
                               kNotInTable,
                               cimple::INVOKE_METHOD_UNSUPPORTED};
    return mapStatus(row, error);
}

int toEnableIndicationsStatus(CimError error) {
    static const StatusRow row{"toEnableIndicationsStatus",
                               cimple::ENABLE_INDICATIONS_OK,
                               cimple::ENABLE_INDICATIONS_FAILED,
                               kNotInTable,
                               kNotInTable,
                               kNotInTable,
                               kNotInTable};
    return mapStatus(row, error);
}

int toDisableIndicationsStatus(CimError error) {
    static const StatusRow row{"toDisableIndicationsStatus",
                               cimple::DISABLE_INDICATIONS_OK,
                               cimple::DISABLE_INDICATIONS_FAILED,
                               kNotInTable,
                               kNotInTable,
                               kNotInTable,
                               kNotInTable};
    return mapStatus(row, error);
}

}  // namespace provider
