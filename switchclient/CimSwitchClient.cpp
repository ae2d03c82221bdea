#include "switchclient/CimSwitchClient.h"

#include <string>

#include "support/provider_trace.h"
#include "switchclient/SipJson.h"

namespace provider {

namespace {

// The agent commands of the account check.
constexpr unsigned kOpcodeCabinetNumber = 0xE204;  // CM_IdentificationCabinetNumber
constexpr unsigned kOpcodeConfMib = 0xE001;
constexpr unsigned kConfMibAccountCheck = 0x3812;      // CQM_ConfMibAccountCheck
constexpr unsigned kConfMibAccountUserGroup = 0x3813;  // CQM_ConfMibAccountUserGroup

class CimSwitchClientImpl : public CimSwitchClient, public ThreadedSwitchClient::EventListener {
public:
    CimSwitchClientImpl(const cimple::String& name, ThreadedSwitchClient::EventListener* listener)
        : name_(name), listener_(listener), threaded_(nullptr) {
        trace(5, "CimSwitchClient(%s): constructor started, el=%p", name_.c_str(),
              static_cast<void*>(listener_));
        threaded_ = newThreadedSwitchClient(name_, this);
    }

    ~CimSwitchClientImpl() override {
        trace(5, "CimSwitchClient(%s): destructor started", name_.c_str());
        // Dropped here, not with the members: its event thread may still be
        // delivering to onEvent, which needs this object whole.
        threaded_ = ShPtr<ThreadedSwitchClient>(nullptr);
    }

    unsigned request(SipJson& message, long* error) override { return threaded_->request(message, error); }
    bool enableEvents(bool enable, long* error) override { return threaded_->enableEvents(enable, error); }
    bool accountCheck() override;

    void onEvent(SipJson& event) override {
        trace(5, "CimSwitchClient(%s): onEvent(): el=%p", name_.c_str(), static_cast<void*>(listener_));
        if (listener_ != nullptr) {
            listener_->onEvent(event);
        }
    }

private:
    // Whether a request of the account configuration came back with data.
    bool requestConfMib(SipJson& message, unsigned cabinet, unsigned item) {
        message.SetCmd(message.GetCmd(), kOpcodeConfMib, item, 0, cabinet, SipJson::kNoStatus);
        return threaded_->request(message, nullptr) == 0 && message.HasReplyData();
    }

    cimple::String name_;
    ThreadedSwitchClient::EventListener* listener_;
    ShPtr<ThreadedSwitchClient> threaded_;
};

bool CimSwitchClientImpl::accountCheck() {
    unsigned cabinet = 0;
    {
        SipJson message;
        message.GetCmd();
        message.SetCmdParam("OC", kOpcodeCabinetNumber);
        if (threaded_->request(message, nullptr) != 0 || !message.HasReplyData()) {
            trace(1, "CimSwitchClient(%s): accountCheck(): request(CM_IdentificationCabinetNumber) failed",
                  name_.c_str());
            return false;
        }
        if (!message.GetCmdUIntData(static_cast<int>(message.GetCmdIndex()), cabinet)) {
            cabinet = 0;
        }
    }

    bool accountCheck = true;
    {
        SipJson message;
        if (requestConfMib(message, cabinet, kConfMibAccountCheck)) {
            unsigned value = 0;
            if (!message.GetCmdUIntData(static_cast<int>(message.GetCmdIndex()), value)) {
                value = 0;
            }
            accountCheck = (value & 0xFF) != 0;
        } else {
            trace(1, "CimSwitchClient(%s): accountCheck(): request(CQM_ConfMibAccountCheck) failed",
                  name_.c_str());
        }
    }

    std::string userGroup;
    {
        SipJson message;
        if (requestConfMib(message, cabinet, kConfMibAccountUserGroup)) {
            message.GetCmdDataString(static_cast<int>(message.GetCmdIndex()), userGroup, 0);
        } else {
            trace(1, "CimSwitchClient(%s): accountCheck(): request(CQM_ConfMibAccountUserGroup) failed",
                  name_.c_str());
        }
    }

    // The caller's identity is not looked at: every caller is an
    // administrator here, and the configuration above is for the trace only.
    trace(4, "CimSwitchClient(%s): accountCheck(): accCheck=%d, accUserGroup=\"%s\", isAdmin=%d",
          name_.c_str(), accountCheck ? 1 : 0, userGroup.c_str(), 1);
    return true;
}

}  // namespace

ShPtr<CimSwitchClient> newCimSwitchClient(const cimple::String& name,
                                          ThreadedSwitchClient::EventListener* listener) {
    return ShPtr<CimSwitchClient>(new CimSwitchClientImpl(name, listener));
}

}  // namespace provider
