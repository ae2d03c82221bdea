#include "ProviderHost.h"

#include <cimple/Provider_Ops.h>
#include <dlfcn.h>
#include <strings.h>

namespace cimhost {

ProviderHost::ProviderHost() = default;

ProviderHost::~ProviderHost() { close(); }

bool ProviderHost::open(const std::string& modulePath) {
    if (handle_) {
        error_ = "a module is already open";
        return false;
    }
    handle_ = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        error_ = "cannot load " + modulePath + ": " + (why ? why : "unknown error");
        return false;
    }
    using ModuleFn = cimple::Registration* (*)();
    auto module = reinterpret_cast<ModuleFn>(dlsym(handle_, "cimple_module"));
    if (!module) {
        error_ = modulePath + " exports no cimple_module";
        close();
        return false;
    }
    head_ = module();
    return true;
}

void ProviderHost::close() {
    if (!handle_) return;
    head_ = nullptr;
    dlclose(handle_);
    handle_ = nullptr;
}

const cimple::Registration* ProviderHost::find(const char* providerName) const {
    for (const cimple::Registration* r = head_; r; r = r->next)
        if (strcasecmp(r->provider_name, providerName) == 0) return r;
    return nullptr;
}

const cimple::Registration* ProviderHost::findIndicationProvider() const {
    for (const cimple::Registration* r = head_; r; r = r->next)
        if (r->meta_class && (r->meta_class->flags & cimple::CIMPLE_FLAG_INDICATION)) return r;
    return nullptr;
}

HostedProvider::HostedProvider(const cimple::Registration* registration) : registration_(registration) {
    if (!registration_ || !registration_->provider_proc) return;
    void* object = nullptr;
    if (registration_->provider_proc(registration_, cimple::OPERATION_CREATE_PROVIDER, &object, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) == 0)
        object_ = object;
}

HostedProvider::~HostedProvider() {
    if (!object_) return;
    if (enabled_) disableIndications();
    if (loaded_) unload();
    call(cimple::OPERATION_DESTROY_PROVIDER);
}

int HostedProvider::call(int operation, void* a1, void* a2, void* a3) {
    if (!object_) return -1;
    return registration_->provider_proc(registration_, operation, object_, a1, a2, a3, nullptr, nullptr,
                                        nullptr, nullptr);
}

int HostedProvider::load() {
    const int status = call(cimple::OPERATION_LOAD);
    if (status == 0) loaded_ = true;
    return status;
}

int HostedProvider::unload() {
    const int status = call(cimple::OPERATION_UNLOAD);
    loaded_ = false;
    return status;
}

int HostedProvider::enableIndications(IndicationSink sink) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sink_ = std::move(sink);
    }
    // The context is this object, so it stays valid for every handler the
    // module may hold: the destructor disables before the object goes.
    using Proc = bool (*)(cimple::Instance*, void*);
    Proc proc = &HostedProvider::deliver;
    const int status = call(cimple::OPERATION_ENABLE_INDICATIONS, reinterpret_cast<void*>(proc), this);
    if (status == 0) enabled_ = true;
    return status;
}

int HostedProvider::disableIndications() {
    const int status = call(cimple::OPERATION_DISABLE_INDICATIONS);
    enabled_ = false;
    return status;
}

namespace {

struct EnumContext {
    std::vector<cimple::Ref<cimple::Instance>>* out;
};

bool collect(cimple::Instance* instance, int, void* context) {
    // The closing call brings no instance; every other call hands over a
    // reference.
    if (instance) static_cast<EnumContext*>(context)->out->emplace_back(instance);
    return true;
}

}  // namespace

int HostedProvider::enumInstances(std::vector<cimple::Ref<cimple::Instance>>& out) {
    cimple::Ref<cimple::Instance> model(cimple::create(registration_->meta_class));
    EnumContext context{&out};
    using Proc = bool (*)(cimple::Instance*, int, void*);
    Proc proc = &collect;
    return call(cimple::OPERATION_ENUM_INSTANCES, model.get(), reinterpret_cast<void*>(proc), &context);
}

int HostedProvider::getInstance(const cimple::Instance* keys, cimple::Ref<cimple::Instance>& out) {
    cimple::Instance* found = nullptr;
    const int status = call(cimple::OPERATION_GET_INSTANCE, const_cast<cimple::Instance*>(keys), &found);
    out.reset(found);
    return status;
}

cimple::Ref<cimple::Instance> HostedProvider::methodRecord(const char* method) const {
    const cimple::Meta_Feature* feature =
        cimple::find_feature(registration_->meta_class, method, cimple::CIMPLE_FLAG_METHOD);
    if (!feature) return cimple::Ref<cimple::Instance>();
    return cimple::Ref<cimple::Instance>(
        cimple::create(reinterpret_cast<const cimple::Meta_Method*>(feature)->meta_class));
}

int HostedProvider::invokeMethod(const cimple::Instance* target, cimple::Instance* record) {
    return call(cimple::OPERATION_INVOKE_METHOD, const_cast<cimple::Instance*>(target), record);
}

size_t HostedProvider::handlerReleases() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return releases_;
}

bool HostedProvider::deliver(cimple::Instance* instance, void* context) {
    auto* self = static_cast<HostedProvider*>(context);
    IndicationSink sink;
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        if (!instance) {
            ++self->releases_;
            return true;
        }
        sink = self->sink_;
    }
    if (sink) sink(instance);
    return true;
}

}  // namespace cimhost
