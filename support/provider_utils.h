// The module's failure reporting, its number and time conversions to CIM values
// and the tables that turn a CimError into a framework status.
//
// Module code reports every failure by throwing BaseException or one of its
// subclasses; provider operations catch them at their boundary (Boundary.h)
// and turn them into the status of the operation. None of these classes
// derives from std::exception: a std::exception reaching a boundary is
// something the module did not mean to throw and is reported as "catch(...)".
#pragma once

#include <cimple/cimple.h>

#include <cstdint>
#include <string>

#include "support/TOLMKey.h"

// The throwing site's source location, for the exception constructors:
//   throw provider::BaseException(QMS_HERE, "text");
#define QMS_HERE __FILE__, __LINE__

namespace provider {

// Numbered like the DMTF CIM status codes. The underlying type is fixed so that
// any number coming from outside is a valid value (the mappings trace it).
enum CimError : int {
    CIM_ERR_SUCCESS = 0,
    CIM_ERR_FAILED = 1,
    CIM_ERR_ACCESS_DENIED = 2,
    CIM_ERR_INVALID_PARAMETER = 4,
    CIM_ERR_NOT_FOUND = 6,
    CIM_ERR_NOT_SUPPORTED = 7,
};

class BaseException {
public:
    // file is kept as given, not copied: pass a literal such as __FILE__.
    BaseException(const char* file, int32_t line, const cimple::String& message);
    virtual ~BaseException();

    // className() + ": " + fullText(), each as the dynamic type gives it.
    virtual cimple::String toString() const;
    // "BaseException", "CimErrorException" or "HandlerException".
    virtual const char* className() const;
    // file="<file>" line=<line> message="<message>", plus the fields of the
    // subclass.
    virtual cimple::String fullText() const;

    // Writes toString() at level 1 as "traceAndThrow(): %s".
    void trace() const;

    const char* file() const { return file_; }
    int32_t line() const { return line_; }
    const cimple::String& message() const { return message_; }

private:
    const char* file_;
    int32_t line_;
    cimple::String message_;
};

// Implemented by exceptions that carry a CimError for the boundary's mapping.
class CimErrorExceptionInfo {
public:
    virtual CimError getCimError() const = 0;

protected:
    ~CimErrorExceptionInfo() = default;
};

class CimErrorException : public BaseException, public CimErrorExceptionInfo {
public:
    CimErrorException(const char* file, int32_t line, const cimple::String& message, CimError cimError);

    const char* className() const override;
    // BaseException's text + " cimErr=<code>".
    cimple::String fullText() const override;
    CimError getCimError() const override { return cimError_; }

private:
    CimError cimError_;
};

// Implemented by exceptions that name a model handler the model did not know.
class HandlerExceptionInfo {
public:
    virtual int32_t getId() const = 0;

protected:
    ~HandlerExceptionInfo() = default;
};

class HandlerException : public BaseException, public HandlerExceptionInfo {
public:
    HandlerException(const char* file, int32_t line, const cimple::String& message, int32_t id);

    const char* className() const override;
    // BaseException's text + " id=<id>".
    cimple::String fullText() const override;
    int32_t getId() const override { return id_; }

private:
    int32_t id_;
};

// Traces the exception (BaseException::trace) and throws a copy of it as T.
template <class T>
[[noreturn]] void traceAndThrow(T exception) {
    exception.trace();
    throw T(exception);
}

// Conversions. Each returns a new value.
cimple::String toDecString(int value);
cimple::String toDecString(unsigned int value);
// Lower-case hex without prefix or leading zeros; a negative int prints as its
// 32-bit two's complement.
cimple::String toHexString(int value);
cimple::String toHexString(unsigned int value);
// The agent's time texts are not interpreted: the result has no value.
cimple::Datetime toDatetime(const cimple::String& text);
// seconds since 1970, UTC.
cimple::Datetime toDatetime(long seconds);
// Local seconds since 1970 with the zone's offset east of UTC in minutes. The
// offset is applied only when offsetMinutes * 60 (in 32 bits) is less than
// seconds; otherwise the result is seconds, UTC.
cimple::Datetime toDatetime(long seconds, int offsetMinutes);
// Both copy the text up to its first NUL byte.
cimple::String STDSTRINGToString(const std::string& text);
std::string StringToSTDSTRING(const cimple::String& text);

// Reads a device identifier "<hex>-<hex>" of at most 9 characters. On success
// the key is cleared, cabNr and objId take the two numbers, and the result is
// true; otherwise the key is left as it was.
bool parseDeviceID(const cimple::String& id, TOLMKey& key);

// The framework status that an operation returns for a CimError. A code that
// the operation's table does not know is traced at level 1 as
// "<function>(): unknown CimError code: %d" and gives the operation's failure
// status.
int toGetInstanceStatus(CimError error);
int toEnumInstancesStatus(CimError error);
int toDeleteInstanceStatus(CimError error);
int toModifyInstanceStatus(CimError error);
int toInvokeMethodStatus(CimError error);
int toEnableIndicationsStatus(CimError error);
int toDisableIndicationsStatus(CimError error);

}  // namespace provider
