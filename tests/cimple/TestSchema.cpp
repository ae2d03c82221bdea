#include "TestSchema.h"

#include <cstddef>

namespace cimple {

namespace {

const uint32_t P = CIMPLE_FLAG_PROPERTY;
const uint32_t K = CIMPLE_FLAG_KEY;
const uint32_t R = CIMPLE_FLAG_REFERENCE;

const bool flag_default = true;
const char* const tags_default_data[] = {"a", "b"};
const Meta_Array_Value tags_default = {tags_default_data, 2};
const char* const when_default = "20240102030405.000006+060";
const uint16_t letter_default = 'x';

#define BASE_FEATURES(S)                                                                       \
    const Meta_Property S##_Name = {P | K, "Name", STRING, 0, offsetof(S, Name), nullptr};     \
    const Meta_Property S##_Id = {P | K, "Id", UINT32, 0, offsetof(S, Id), nullptr};           \
    const Meta_Property S##_Flag = {P, "Flag", BOOLEAN, 0, offsetof(S, Flag), &flag_default};  \
    const Meta_Property S##_Tags = {P, "Tags", STRING, -1, offsetof(S, Tags), &tags_default};  \
    const Meta_Property S##_When = {P, "When", DATETIME, 0, offsetof(S, When), &when_default}; \
    const Meta_Property S##_Ratio = {P, "Ratio", REAL64, 0, offsetof(S, Ratio), nullptr};      \
    const Meta_Property S##_Letter = {P, "Letter", CHAR16, 0, offsetof(S, Letter), &letter_default};

#define F(x) reinterpret_cast<const Meta_Feature*>(&x)
#define BASE_LIST(S) \
    F(S##_Name), F(S##_Id), F(S##_Flag), F(S##_Tags), F(S##_When), F(S##_Ratio), F(S##_Letter)

BASE_FEATURES(T_Base)
const Meta_Feature* const base_features[] = {BASE_LIST(T_Base)};

BASE_FEATURES(T_Derived)
const Meta_Feature* const derived_features[] = {BASE_LIST(T_Derived)};

const Meta_Reference T_Link_Right = {R | K, "Right", 0, &T_Base::static_meta_class, offsetof(T_Link, Right)};
const Meta_Reference T_Link_Left = {R | K, "Left", 0, &T_Base::static_meta_class, offsetof(T_Link, Left)};
const Meta_Reference T_Link_Members = {R, "Members", -1, &T_Base::static_meta_class,
                                       offsetof(T_Link, Members)};
const Meta_Property T_Link_Note = {P, "Note", STRING, 0, offsetof(T_Link, Note), nullptr};
const Meta_Method T_Link_Touch = {CIMPLE_FLAG_METHOD, "Touch", nullptr, UINT32};
const Meta_Feature* const link_features[] = {F(T_Link_Right), F(T_Link_Left), F(T_Link_Members),
                                             F(T_Link_Note), F(T_Link_Touch)};

const Meta_Property T_Keyless_Text = {P, "Text", STRING, 0, offsetof(T_Keyless, Text), nullptr};
const Meta_Feature* const keyless_features[] = {F(T_Keyless_Text)};

}  // namespace

#define CLASS(S, kind, features, super, keys)                                    \
    const Meta_Class S::static_meta_class = {CIMPLE_FLAG_CLASS | kind,           \
                                             #S,                                 \
                                             features,                           \
                                             sizeof features / sizeof *features, \
                                             sizeof(S),                          \
                                             super,                              \
                                             keys,                               \
                                             nullptr};
CLASS(T_Base, 0, base_features, nullptr, 2)
CLASS(T_Derived, 0, derived_features, &T_Base::static_meta_class, 2)
CLASS(T_Link, CIMPLE_FLAG_ASSOCIATION, link_features, nullptr, 2)
CLASS(T_Keyless, CIMPLE_FLAG_INDICATION, keyless_features, nullptr, 0)

}  // namespace cimple
