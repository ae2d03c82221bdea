// The model: the one object behind all three providers. It holds the service
// and association instances, owns the CIMOM's indication handler while
// indications are enabled, and turns agent events into indications that its
// own task thread hands to the CIMOM.
#include <cimple/Mutex.h>

#include <atomic>
#include <memory>

#include "model/HelperComputerSystem.h"
#include "model/IndicationModel.h"
#include "model/LogEntryIndication.h"
#include "model/RaidEventIndication.h"
#include "model/RaidEventParser.h"
#include "support/Boundary.h"
#include "support/InitOrder.h"
#include "support/TaskThread.h"
#include "support/provider_trace.h"
#include "support/provider_utils.h"
#include "tolm/TOLMEventsListener.h"
#include "tolm/TOLMIndication.h"

namespace provider {
namespace {

using cimple::Indication_Handler;
using cimple::QMS_VRXHostedIndicationRegistrationService;
using cimple::QMS_VRXIndicationRegistrationService;
using cimple::QMS_VRXLogEntryArrived;
using LogEntryHandler = Indication_Handler<QMS_VRXLogEntryArrived>;

const char kSourceUnit[] = "QMS_VRXIndicationRegistrationServiceImpl";

// The model's data lock (recursive: provider operations re-enter the model)
// and the lock that serialises its creation; both exist from library load.
cimple::Mutex modelMutex QMS_INIT_PRIORITY(QMS_INIT_PRIORITY_MODEL_LOCKS){true};
cimple::Mutex creationMutex QMS_INIT_PRIORITY(QMS_INIT_PRIORITY_MODEL_LOCKS){false};

// How a log event's hand-over went, for the event's own trace texts.
enum class Delivery { NoHandler, Delivered, Refused, Failed };

class Model : public QMS_VRXIndicationRegistrationServiceModel,
              public QMS_VRXHostedIndicationRegistrationServiceModel,
              public QMS_VRXLogEntryArrivedIndicationModel,
              public TOLMEventsListener,
              public TaskThread::Task {
public:
    Model();
    ~Model() override;

    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    cimple::Mutex& recursiveMutex() override { return modelMutex; }

    // The registration service.
    bool find(QMS_VRXIndicationRegistrationServiceHandler& handler,
              const QMS_VRXIndicationRegistrationService* keys) override;
    // Both handler types are the same 32-bit number, so this one serves both
    // interfaces: each holds exactly one instance.
    void findAll(std::vector<QMS_VRXIndicationRegistrationServiceHandler>& handlers) override;
    QMS_VRXIndicationRegistrationService* clone(QMS_VRXIndicationRegistrationServiceHandler handler,
                                                const QMS_VRXIndicationRegistrationService* model) override;
    cimple::Property<cimple::String> getName(QMS_VRXIndicationRegistrationServiceHandler handler) override;
    cimple::Property<cimple::String> getSystemCreationClassName(
        QMS_VRXIndicationRegistrationServiceHandler handler) override;
    cimple::Property<cimple::String> getSystemName(
        QMS_VRXIndicationRegistrationServiceHandler handler) override;
    cimple::Property<cimple::String> getCreationClassName(
        QMS_VRXIndicationRegistrationServiceHandler handler) override;
    bool sendTestIndication() override;

    // The hosting association.
    bool find(QMS_VRXHostedIndicationRegistrationServiceHandler& handler,
              const QMS_VRXHostedIndicationRegistrationService* keys) override;
    QMS_VRXHostedIndicationRegistrationService* clone(
        QMS_VRXHostedIndicationRegistrationServiceHandler handler,
        const QMS_VRXHostedIndicationRegistrationService* model) override;

    // Indications.
    void enableIndications(LogEntryHandler* handler) override;
    void disableIndications() override;
    cimple::Ref<QMS_VRXLogEntryArrived> create(LogTag tag, unsigned int n) override;
    cimple::Ref<QMS_VRXLogEntryArrived> createRaidEvent(const RaidEventParser& parser) override;
    std::vector<unsigned int> DebugNums(LogTag tag) override;

    // Agent events, on the agent's event thread.
    void onSystemMessageLogEntry(unsigned int n) override;
    void onDriverMonitorLogEntry(unsigned int n) override;
    void onLogMessageArguments(const cimple::Array<cimple::String>& args) override;
    void onRaidEvent(const std::string& msg) override;

    // On the task thread: hands the pending indication to the CIMOM.
    void threadTask() override;

private:
    // Builds an indication with build() and has the task thread deliver it;
    // errorText gets the failure's text. The one road of every agent event.
    template <class Build>
    Delivery deliver(Build&& build, cimple::String& errorText);
    Delivery deliverLogEntry(LogTag tag, unsigned int n, cimple::String& errorText) {
        return deliver([&] { return create(tag, n); }, errorText);
    }
    bool handlerHeld();
    const QMS_VRXIndicationRegistrationService& service(QMS_VRXIndicationRegistrationServiceHandler handler,
                                                        const char* operation) const;

    // Hand-over between the agent's event thread, request threads and the
    // task thread. Listener operations run without the model lock, while a
    // request thread may disable, re-enable or send a test indication. This
    // lock guards the handler, the task thread holder, the pending slot and
    // the message arguments, and a delivering thread holds it from the check
    // for a handler until call() has returned:
    // - disableIndications takes the handler and the task thread out under
    //   it, so once it has them no delivery can start, and any delivery under
    //   way has finished: nothing reaches the CIMOM after it returns. The
    //   handler is released and the task thread joined after unlocking.
    // - an agent event and a test indication cannot both fill the pending
    //   slot: each fills it, waits in call() until threadTask() has emptied it
    //   and only then unlocks, so every indication built goes out once.
    // Lock order: model lock, then this; the event thread takes only this,
    // and threadTask() takes nothing (its caller holds this for it).
    // Recursive because create() also guards the message arguments with it.
    cimple::Mutex delivery_{true};

    cimple::Ref<cimple::QMS_VRXComputerSystem> computerSystem_;
    TOLMKey modelKey_;
    cimple::Ref<QMS_VRXIndicationRegistrationService> service_;
    cimple::Ref<QMS_VRXHostedIndicationRegistrationService> association_;
    ShPtr<TaskThread> taskThread_;
    cimple::Ref<QMS_VRXLogEntryArrived> pending_;
    LogEntryHandler* handler_ = nullptr;
    cimple::Array<cimple::String> messageArguments_;
    // The RAID indications' HostAddress: the host name the agent last gave,
    // an empty non-null text until it has given one.
    cimple::Property<cimple::String> hostAddress_{cimple::String()};
    // RAID adapter and drive numbers to the keys of their CIM elements.
    // Left empty on purpose, so RAID indications name no source element. The
    // agent's one RAID inventory read, the storage device tree, is a text
    // whose layout this module does not know; and the keys must be the very
    // Name and DeviceID texts that the instance providers of
    // QMS_VRXHostRaidController and the extent classes report, which live
    // outside this module. A guessed key would send a client to an element
    // that does not exist; a null AlertingManagedElement says honestly that
    // the element is not known.
    AdapterMappings adapterMappings_;
};

Model::Model()
    : computerSystem_(createComputerSystemKeys(getTOLMIndication())),
      modelKey_(createCSKey(getTOLMIndication())) {
    service_.reset(QMS_VRXIndicationRegistrationService::create(true));
    service_->Name.set("RegistrationService");
    service_->SystemCreationClassName = computerSystem_->CreationClassName;
    service_->SystemName = computerSystem_->Name;
    service_->CreationClassName.set("QMS_VRXIndicationRegistrationService");
    service_->Caption.set("Indication Registration Service");
    service_->Description.set("Service which allows to register indication subscriptions");
    service_->Started.set(true);

    association_.reset(QMS_VRXHostedIndicationRegistrationService::create(true));
    association_->Antecedent = computerSystem_->clone();
    association_->Dependent = service_->clone();
}

Model::~Model() {
    // Runs at library unload. A handler still held means the CIMOM never
    // disabled indications; its callback may be gone with the CIMOM, so the
    // record is left alone.
    if (handler_) trace(1, "~Model(): Indication_Handler<QMS_VRXLogEntryArrived> not deleted!");
}

bool Model::find(QMS_VRXIndicationRegistrationServiceHandler& handler,
                 const QMS_VRXIndicationRegistrationService* keys) {
    handler = -1;
    if (!cimple::key_eq(service_.get(), keys)) return false;
    handler = 0;
    return true;
}

bool Model::find(QMS_VRXHostedIndicationRegistrationServiceHandler& handler,
                 const QMS_VRXHostedIndicationRegistrationService* keys) {
    handler = -1;
    if (!cimple::key_eq(association_.get(), keys)) return false;
    handler = 0;
    return true;
}

void Model::findAll(std::vector<QMS_VRXIndicationRegistrationServiceHandler>& handlers) {
    handlers.clear();
    handlers.push_back(0);
}

const QMS_VRXIndicationRegistrationService& Model::service(
    QMS_VRXIndicationRegistrationServiceHandler handler, const char* operation) const {
    if (handler != 0) {
        traceAndThrow(HandlerException(
            kSourceUnit, __LINE__,
            cimple::String(operation) + "(QMS_VRXIndicationRegistrationServiceHandler)", handler));
    }
    return *service_;
}

QMS_VRXIndicationRegistrationService* Model::clone(QMS_VRXIndicationRegistrationServiceHandler handler,
                                                   const QMS_VRXIndicationRegistrationService*) {
    return service(handler, "clone").clone();
}

QMS_VRXHostedIndicationRegistrationService* Model::clone(
    QMS_VRXHostedIndicationRegistrationServiceHandler handler,
    const QMS_VRXHostedIndicationRegistrationService*) {
    if (handler != 0) {
        traceAndThrow(HandlerException(kSourceUnit, __LINE__,
                                       "clone(QMS_VRXHostedIndicationRegistrationServiceHandler)", handler));
    }
    return association_->clone();
}

cimple::Property<cimple::String> Model::getName(QMS_VRXIndicationRegistrationServiceHandler handler) {
    return service(handler, "getName").Name;
}

cimple::Property<cimple::String> Model::getSystemCreationClassName(
    QMS_VRXIndicationRegistrationServiceHandler handler) {
    return service(handler, "getSystemCreationClassName").SystemCreationClassName;
}

cimple::Property<cimple::String> Model::getSystemName(QMS_VRXIndicationRegistrationServiceHandler handler) {
    return service(handler, "getSystemName").SystemName;
}

cimple::Property<cimple::String> Model::getCreationClassName(
    QMS_VRXIndicationRegistrationServiceHandler handler) {
    return service(handler, "getCreationClassName").CreationClassName;
}

void Model::enableIndications(LogEntryHandler* handler) {
    std::unique_ptr<LogEntryHandler> fresh(handler);
    // Started before anything changes: if it cannot be, the new handler is
    // released and the model stays as it was.
    ShPtr<TaskThread> freshThread = newCimpleTaskThread(TaskPace::Spread);

    std::unique_ptr<LogEntryHandler> previous;
    ShPtr<TaskThread> previousThread;
    {
        cimple::Auto_Mutex hold(delivery_);
        previous.reset(handler_);
        handler_ = fresh.release();
        previousThread = taskThread_;
        taskThread_ = freshThread;
        messageArguments_.clear();
    }
    if (previous) trace(1, "enableIndications(): Indication_Handler<QMS_VRXLogEntryArrived> not deleted!");
    // Outside the hand-over lock: the old worker is joined and the old
    // handler's final callback runs without holding up agent events.
    previousThread = ShPtr<TaskThread>();
    previous.reset();

    cimple::cimom::allow_unload(false);
    TOLMCalls& tolm = getTOLMIndication();
    tolm.setListener(this);
    tolm.enableEvents();
}

void Model::disableIndications() {
    getTOLMIndication().disableEvents();
    cimple::cimom::allow_unload(true);

    std::unique_ptr<LogEntryHandler> handler;
    ShPtr<TaskThread> thread;
    {
        cimple::Auto_Mutex hold(delivery_);
        handler.reset(handler_);
        handler_ = nullptr;
        if (handler) {
            thread = taskThread_;
            taskThread_ = ShPtr<TaskThread>();
        }
    }
    if (!handler) {
        trace(1, "disableIndications(): Indication_Handler<QMS_VRXLogEntryArrived> already deleted!");
        return;
    }
    // The last holder of the task thread: stops and joins it.
    thread = ShPtr<TaskThread>();
    handler.reset();
}

cimple::Ref<QMS_VRXLogEntryArrived> Model::create(LogTag tag, unsigned int n) {
    trace(5, "QMS_VRXLogEntryArrived* Model::create(%x, %x)", static_cast<unsigned int>(tag), n);
    cimple::Auto_Mutex hold(delivery_);
    return createLogEntryIndication(getTOLMIndication(),
                                    LogEntrySource{modelKey_, *computerSystem_, messageArguments_}, tag, n);
}

cimple::Ref<QMS_VRXLogEntryArrived> Model::createRaidEvent(const RaidEventParser& parser) {
    trace(5, "QMS_VRXLogEntryArrived* Model::createRaidEvent (%d)",
          static_cast<int>(parser.getCurrentEventNumber()));
    // A RAID indication names its host as the log-entry ones do, so a
    // listener can tell the server's indications apart from other servers'
    // by one value. The name is asked afresh for every valid event; when
    // the agent does not give it, the last one known stays.
    if (parser.isValid()) {
        TOLMKey hostKey;
        hostKey.cabNr = modelKey_.cabNr;
        hostKey.opCdExt = 1;
        const cimple::Property<cimple::String> host = getTOLMIndication().getSystemHostName(hostKey);
        cimple::Auto_Mutex hold(delivery_);
        if (!host.is_null()) hostAddress_ = host;
    }
    cimple::Auto_Mutex hold(delivery_);
    return createRaidEventIndication(parser, *computerSystem_, hostAddress_);
}

std::vector<unsigned int> Model::DebugNums(LogTag tag) {
    return recentEntryNumbers(getTOLMIndication(), modelKey_, tag);
}

bool Model::handlerHeld() {
    cimple::Auto_Mutex hold(delivery_);
    return handler_ != nullptr;
}

template <class Build>
Delivery Model::deliver(Build&& build, cimple::String& errorText) {
    cimple::Auto_Mutex hold(delivery_);
    if (!handler_) return Delivery::NoHandler;
    bool delivered = false;
    const BoundaryOutcome outcome = runGuarded(nullptr, 0, [&] {
        pending_ = build();
        delivered = taskThread_->call(*this);
    });
    // Not delivered (the worker refused or never ran): the instance is
    // dropped here rather than left for the next hand-over to send.
    pending_.reset();
    if (outcome.failed) {
        errorText = outcome.errorText;
        return Delivery::Failed;
    }
    return delivered ? Delivery::Delivered : Delivery::Refused;
}

void Model::onSystemMessageLogEntry(unsigned int n) {
    cimple::String errorText;
    switch (deliverLogEntry(SystemMessageLog, n, errorText)) {
        case Delivery::NoHandler:
            trace(1,
                  "onSystemMessageLogEntry(%x): Indication_Handler<QMS_VRXLogEntryArrived> already deleted!",
                  n);
            return;
        case Delivery::Refused:
            trace(1, "onSystemMessageLogEntry(%x): call() failed", n);
            break;
        case Delivery::Delivered:
        case Delivery::Failed:
            break;
    }
    trace(1, "onSystemMessageLogEntry(%x): %s", n, errorText.c_str());
}

void Model::onDriverMonitorLogEntry(unsigned int n) {
    cimple::String errorText;
    switch (deliverLogEntry(DriverMonitor, n, errorText)) {
        case Delivery::NoHandler:
            trace(1,
                  "onDriverMonitorLogEntry(%x): Indication_Handler<QMS_VRXLogEntryArrived> already deleted!",
                  n);
            return;
        case Delivery::Refused:
            trace(1, "onDriverMonitorLogEntry(%x): call() failed", n);
            break;
        case Delivery::Delivered:
        case Delivery::Failed:
            break;
    }
    trace(1, "onDriverMonitorLogEntry(%x): %s", n, errorText.c_str());
}

void Model::onLogMessageArguments(const cimple::Array<cimple::String>& args) {
    cimple::Auto_Mutex hold(delivery_);
    messageArguments_ = args;
}

void Model::onRaidEvent(const std::string& msg) {
    if (!handlerHeld()) {
        trace(1, "onRaidEvent(%s): Indication_Handler<QMS_VRXLogEntryArrived> already deleted!", msg.c_str());
        return;
    }
    RaidEventParser parser(msg, &adapterMappings_);
    trace(5, "onRaidEvent(): Event: %s", msg.c_str());
    // Each event is one hand-over of its own, so a disable between two
    // events of a text waits for at most one delivery.
    cimple::String errorText;
    for (;;) {
        const Delivery outcome = deliver([&] { return createRaidEvent(parser); }, errorText);
        if (outcome == Delivery::Refused) trace(1, "onRaidEvent(%s): call() failed", msg.c_str());
        // A failure drops the rest of the text: after an event the agent
        // wrote wrongly, the rest of its text is suspect too. Disabled
        // meanwhile: nobody is left to receive them.
        if (outcome == Delivery::Failed || outcome == Delivery::NoHandler) break;
        if (!parser.hasNextEvent()) break;
    }
    // A text (or the rest of it) dropped is a failure an administrator must
    // see at the failure level, with the text the agent sent.
    trace(errorText.size() != 0 ? 1 : 5, "onRaidEvent(%s): %s", msg.c_str(), errorText.c_str());
}

void Model::threadTask() {
    // The thread that filled the slot holds delivery_ and waits in call()
    // until this returns, so the slot and the handler are ours meanwhile.
    cimple::Ref<QMS_VRXLogEntryArrived> indication(std::move(pending_));
    if (handler_) handler_->handle(indication.get());
}

bool Model::sendTestIndication() {
    bool delivered = false;
    BoundaryOutcome outcome;
    {
        cimple::Auto_Mutex hold(delivery_);
        if (!handler_) {
            trace(5, "sendTestIndication(): Indication_Handler<QMS_VRXLogEntryArrived> already deleted!");
            return false;
        }
        outcome = runGuarded(nullptr, 0, [&] {
            pending_ = create(TestIndication, 0);
            delivered = taskThread_->call(*this);
        });
        pending_.reset();
    }
    if (outcome.failed) {
        trace(1, "sendTestIndication(): %s", outcome.errorText.c_str());
        return false;
    }
    if (!delivered) trace(1, "sendTestIndication(): call() failed");
    return delivered;
}

// Set once the model below exists.
std::atomic<Model*> madeModel{nullptr};

Model& getModel() {
    cimple::Auto_Mutex lock(creationMutex);
    // The user check runs on every access, also once the model exists.
    getTOLMIndication().accountCheck();
    // Made on first use; if making it throws, the next call tries again. Its
    // destructor runs when the library is unloaded.
    static Model model;
    madeModel.store(&model);
    return model;
}

}  // namespace

QMS_VRXIndicationRegistrationServiceModel& getQMS_VRXIndicationRegistrationServiceModel() {
    return getModel();
}
QMS_VRXHostedIndicationRegistrationServiceModel& getQMS_VRXHostedIndicationRegistrationServiceModel() {
    return getModel();
}
QMS_VRXLogEntryArrivedIndicationModel& getQMS_VRXLogEntryArrivedIndicationModel() { return getModel(); }
QMS_VRXLogEntryArrivedIndicationModel* findQMS_VRXLogEntryArrivedIndicationModel() {
    return madeModel.load();
}

bool initQMS_VRXIndicationProvider(bool load) { return initTOLMIndication(load); }

}  // namespace provider
