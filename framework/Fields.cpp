#include "framework/Fields.h"

#include "framework/DataSet.h"

namespace zr {

ZR_REGISTER_CLASS(TField, c) {
    c.Property("FieldName", &TField::FieldName, nullptr);
}

TField::TField(TDataSet* dataSet, const TFieldDef& def, int index)
    : dataSet_(dataSet), def_(def), index_(index) {}

Variant TField::Value() const {
    return dataSet_->CurrentValue(index_);
}

void TField::SetValue(const Variant& value) {
    dataSet_->SetFieldValue(this, ConvertToFieldType(def_.DataType, value));
}

Variant TField::OldValue() const {
    return dataSet_->StoredValue(index_);
}

Variant TField::NewValue() const {
    return dataSet_->CurrentValue(index_);
}

// A Null field reads as zero, false or the empty text, as in the host.
std::int64_t TField::AsInteger() const {
    const Variant v = Value();
    return v.IsNull() ? 0 : v.AsInteger();
}

double TField::AsFloat() const {
    const Variant v = Value();
    return v.IsNull() ? 0 : v.AsFloat();
}

bool TField::AsBoolean() const {
    const Variant v = Value();
    return !v.IsNull() && v.AsBoolean();
}

TDateTime TField::AsDateTime() const {
    const Variant v = Value();
    return v.IsNull() ? 0 : v.AsDateTime();
}

Variant ConvertToFieldType(TFieldType type, const Variant& value) {
    if (value.IsNull()) return value;
    switch (type) {
        case ftString:
            return VarToStr(value);
        case ftInteger:
            return value.AsInteger();
        case ftFloat:
            return value.AsFloat();
        case ftBoolean:
            return value.AsBoolean();
        case ftDateTime:
            return Variant::FromDateTime(value.AsDateTime());
        case ftUnknown:
            break;
    }
    return value;
}

}  // namespace zr
