// `cimhost inspect MODULE.so`: loads a provider module the way a CIMOM finds
// it (dlopen, then the exported cimple_module chain and the CMPI factory
// symbols) and prints what it serves. It touches the module only through its
// exported entry points and the records they hand out.
#include "Inspect.h"

#include <cimple/Meta.h>
#include <cimple/Registration.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace cimhost {
namespace {

const char* typeName(uint16_t type) {
    static const char* const names[] = {"boolean", "uint8",  "sint8",  "uint16",  "sint16",
                                        "uint32",  "sint32", "uint64", "sint64",  "real32",
                                        "real64",  "char16", "string", "datetime"};
    return type < sizeof(names) / sizeof(names[0]) ? names[type] : "?";
}

const char* kindName(const cimple::Meta_Class* mc) {
    if (mc->flags & cimple::CIMPLE_FLAG_ASSOCIATION) return "association";
    if (mc->flags & cimple::CIMPLE_FLAG_INDICATION) return "indication";
    return "class";
}

std::string defaultText(const cimple::Meta_Property* p) {
    if (!p->value || p->subscript != 0) return p->value ? " = {...}" : "";
    char buf[64];
    switch (p->type) {
        case cimple::BOOLEAN:
            return *static_cast<const bool*>(p->value) ? " = true" : " = false";
        case cimple::UINT8:
            snprintf(buf, sizeof buf, " = %u", *static_cast<const uint8_t*>(p->value));
            break;
        case cimple::SINT8:
            snprintf(buf, sizeof buf, " = %d", *static_cast<const int8_t*>(p->value));
            break;
        case cimple::UINT16:
            snprintf(buf, sizeof buf, " = %u", *static_cast<const uint16_t*>(p->value));
            break;
        case cimple::SINT16:
            snprintf(buf, sizeof buf, " = %d", *static_cast<const int16_t*>(p->value));
            break;
        case cimple::UINT32:
            snprintf(buf, sizeof buf, " = %u", *static_cast<const uint32_t*>(p->value));
            break;
        case cimple::SINT32:
            snprintf(buf, sizeof buf, " = %d", *static_cast<const int32_t*>(p->value));
            break;
        case cimple::UINT64:
            snprintf(buf, sizeof buf, " = %llu",
                     static_cast<unsigned long long>(*static_cast<const uint64_t*>(p->value)));
            break;
        case cimple::SINT64:
            snprintf(buf, sizeof buf, " = %lld",
                     static_cast<long long>(*static_cast<const int64_t*>(p->value)));
            break;
        case cimple::REAL32:
            snprintf(buf, sizeof buf, " = %g", *static_cast<const float*>(p->value));
            break;
        case cimple::REAL64:
            snprintf(buf, sizeof buf, " = %g", *static_cast<const double*>(p->value));
            break;
        case cimple::STRING:
        case cimple::DATETIME:
            return std::string(" = \"") + *static_cast<const char* const*>(p->value) + "\"";
        default:
            return "";
    }
    return buf;
}

void printFeatures(const cimple::Meta_Class* mc, const char* indent) {
    for (uint32_t i = 0; i < mc->num_meta_features; ++i) {
        const cimple::Meta_Feature* f = mc->meta_features[i];
        const char* key = (f->flags & cimple::CIMPLE_FLAG_KEY) ? "[key] " : "";
        const char* dir = (f->flags & cimple::CIMPLE_FLAG_IN) && (f->flags & cimple::CIMPLE_FLAG_OUT)
                              ? "[in,out] "
                          : (f->flags & cimple::CIMPLE_FLAG_OUT) ? "[out] "
                          : (f->flags & cimple::CIMPLE_FLAG_IN)  ? "[in] "
                                                                 : "";
        if (f->flags & cimple::CIMPLE_FLAG_PROPERTY) {
            auto* p = reinterpret_cast<const cimple::Meta_Property*>(f);
            printf("%s%s%s%s %s%s%s\n", indent, key, dir, typeName(p->type), p->name,
                   p->subscript ? "[]" : "", defaultText(p).c_str());
        } else if (f->flags & cimple::CIMPLE_FLAG_REFERENCE) {
            auto* r = reinterpret_cast<const cimple::Meta_Reference*>(f);
            printf("%s%s%s%s REF %s%s\n", indent, key, dir, r->meta_class->name, r->name,
                   r->subscript ? "[]" : "");
        } else if (f->flags & cimple::CIMPLE_FLAG_METHOD) {
            auto* m = reinterpret_cast<const cimple::Meta_Method*>(f);
            printf("%s%s %s(", indent, typeName(m->return_type), m->name);
            const cimple::Meta_Class* params = m->meta_class;
            bool first = true;
            for (uint32_t j = 0; params && j < params->num_meta_features; ++j) {
                const cimple::Meta_Feature* pf = params->meta_features[j];
                if (std::string(pf->name) == "return_value") continue;
                const char* pdir = (pf->flags & cimple::CIMPLE_FLAG_OUT) ? "out " : "in ";
                if (pf->flags & cimple::CIMPLE_FLAG_REFERENCE) {
                    auto* r = reinterpret_cast<const cimple::Meta_Reference*>(pf);
                    printf("%s%s%s REF %s%s", first ? "" : ", ", pdir, r->meta_class->name, r->name,
                           r->subscript ? "[]" : "");
                } else {
                    auto* p = reinterpret_cast<const cimple::Meta_Property*>(pf);
                    printf("%s%s%s %s%s", first ? "" : ", ", pdir, typeName(p->type), p->name,
                           p->subscript ? "[]" : "");
                }
                first = false;
            }
            printf(")\n");
        }
    }
}

void printClass(const cimple::Meta_Class* mc) {
    printf("  %s %s", kindName(mc), mc->name);
    for (const cimple::Meta_Class* s = mc->super_meta_class; s; s = s->super_meta_class)
        printf(" : %s", s->name);
    printf("\n    keys:");
    bool any = false;
    for (uint32_t i = 0; i < mc->num_meta_features; ++i) {
        const cimple::Meta_Feature* f = mc->meta_features[i];
        if ((f->flags & cimple::CIMPLE_FLAG_KEY) && !(f->flags & cimple::CIMPLE_FLAG_METHOD)) {
            printf(" %s", f->name);
            any = true;
        }
    }
    printf("%s\n", any ? "" : " (none)");
    printFeatures(mc, "    ");
}

// Loading a module runs its start-up, and a module that traces opens its
// trace files afresh: inspecting the module a CIMOM runs must not empty the
// CIMOM's trace. The module traces into a directory of its own while it is
// looked at, unless the caller chose one.
class PrivateTraceDirectory {
public:
    PrivateTraceDirectory() {
        const char* chosen = getenv("QM_LOG_RINGBUF_DIR");
        if (chosen && *chosen) return;
        std::error_code error;
        std::string pattern =
            (std::filesystem::temp_directory_path(error) / "cimhost-inspect-XXXXXX").string();
        if (!error && mkdtemp(pattern.data())) {
            path_ = pattern;
            setenv("QM_LOG_RINGBUF_DIR", path_.c_str(), 1);
        }
    }
    ~PrivateTraceDirectory() {
        if (path_.empty()) return;
        unsetenv("QM_LOG_RINGBUF_DIR");
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

private:
    std::string path_;
};

}  // namespace

int inspect(const char* given) {
    PrivateTraceDirectory traceDirectory;
    // dlopen searches the library path for a name without a slash; a module
    // named so that is in the current directory is the one meant.
    std::string path = given;
    struct stat st;
    if (path.find('/') == std::string::npos && stat(path.c_str(), &st) == 0) path = "./" + path;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        fprintf(stderr, "cimhost inspect: cannot load %s: %s\n", given, dlerror());
        return 1;
    }
    using ModuleFn = cimple::Registration* (*)();
    auto module = reinterpret_cast<ModuleFn>(dlsym(handle, "cimple_module"));
    if (!module) {
        fprintf(stderr, "cimhost inspect: %s is no provider module: it exports no cimple_module\n", given);
        dlclose(handle);
        return 1;
    }
    const cimple::Registration* head = module();
    printf("module %s\n", head ? head->module_name : "(no providers)");
    for (const cimple::Registration* r = head; r; r = r->next) {
        printf("\nprovider %s\n  serves %s; CMPI interfaces:", r->provider_name, r->meta_class->name);
        static const char* const kinds[] = {"Instance", "Method", "Association", "Indication"};
        for (const char* kind : kinds) {
            std::string symbol = std::string(r->provider_name) + "_Create_" + kind + "MI";
            if (dlsym(handle, symbol.c_str())) printf(" %s", kind);
        }
        printf("\n");
        printClass(r->meta_class);
    }
    if (head && head->meta_class->meta_repository)
        printf("\nclass repository: %u classes\n", head->meta_class->meta_repository->num_meta_classes);
    dlclose(handle);
    return 0;
}

}  // namespace cimhost
