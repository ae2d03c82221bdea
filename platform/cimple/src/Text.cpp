// Readable rendering of instances for traces and demos.
#include <cstdio>

#include "Fields.h"

namespace cimple {

using namespace detail;

namespace {

void indent(String& out, int level) {
    for (int i = 0; i < level; i++) out.append("    ");
}

template <class T>
void value_text(String& out, const T& v) {
    append_number(out, v);
}
template <>
void value_text<bool>(String& out, const bool& v) {
    out.append(v ? "true" : "false");
}
template <>
void value_text<char16>(String& out, const char16& v) {
    char buf[16];
    if (v.code >= 0x20 && v.code < 0x7F && v.code != '\'' && v.code != '\\')
        snprintf(buf, sizeof buf, "'%c'", char(v.code));
    else
        snprintf(buf, sizeof buf, "'\\x%04X'", unsigned(v.code));
    out.append(buf);
}
template <>
void value_text<String>(String& out, const String& v) {
    append_quoted(out, v.c_str());
}
template <>
void value_text<Datetime>(String& out, const Datetime& v) {
    char buf[Datetime::TEXT_SIZE + 1];
    append_quoted(out, v.ascii(buf));
}

void render(const Instance* inst, String& out, int level);

void render_ref(const Instance* ref, String& out, int level) {
    if (!ref)
        out.append("NULL");
    else
        render(ref, out, level);
}

void render(const Instance* inst, String& out, int level) {
    if (!inst || inst->magic != INSTANCE_MAGIC || !inst->meta_class) {
        out.append("NULL");
        return;
    }
    const Meta_Class* mc = inst->meta_class;
    out.append(mc->name);
    if (level >= MAX_DEPTH) {
        out.append(" {...}");
        return;
    }
    out.append('\n');
    indent(out, level);
    out.append("{\n");
    for (uint32_t i = 0; i < mc->num_meta_features; i++) {
        const Meta_Feature* mf = mc->meta_features[i];
        const void* field = field_of(inst, mf);
        if (!field) continue;
        indent(out, level + 1);
        out.append(mf->name);
        out.append(" = ");
        if (is_reference(mf)) {
            if (as_reference(mf)->subscript) {
                const Ref_Array& refs = at<Ref_Array>(field, 0);
                if (refs.null) {
                    out.append("NULL");
                } else {
                    out.append('{');
                    for (size_t j = 0; j < refs.value.size(); j++) {
                        if (j) out.append(", ");
                        render_ref(refs.value[j], out, level + 1);
                    }
                    out.append('}');
                }
            } else {
                render_ref(at<Instance*>(field, 0), out, level + 1);
            }
        } else {
            const Meta_Property* mp = as_property(mf);
            with_type(mp->type, [&](auto tag) {
                typedef typename decltype(tag)::type T;
                if (mp->subscript) {
                    const Property<Array<T>>& prop = at<Property<Array<T>>>(field, 0);
                    if (prop.null) {
                        out.append("NULL");
                        return;
                    }
                    out.append('{');
                    for (size_t j = 0; j < prop.value.size(); j++) {
                        if (j) out.append(", ");
                        value_text<T>(out, prop.value[j]);
                    }
                    out.append('}');
                } else {
                    const Property<T>& prop = at<Property<T>>(field, 0);
                    if (prop.null)
                        out.append("NULL");
                    else
                        value_text<T>(out, prop.value);
                }
            });
        }
        out.append(";\n");
    }
    indent(out, level);
    out.append('}');
}

}  // namespace

String to_text(const Instance* instance) {
    String out;
    render(instance, out, 0);
    out.append('\n');
    return out;
}

void print(const Instance* instance, FILE* stream) {
    if (!stream) return;
    String text = to_text(instance);
    fwrite(text.c_str(), 1, text.size(), stream);
    fflush(stream);
}

}  // namespace cimple
