// Fields: the columns of a data set. A field reads and writes its value in
// the data set's current record; while the record is being edited or
// inserted, writes go to the record being edited and OldValue keeps what the
// stored record held.
#pragma once

#include <cstdint>
#include <string>

#include "Exceptions.h"
#include "Object.h"
#include "TypeInfo.h"
#include "Variants.h"

namespace zr {

// The framework's database exception: data sets raise it for misuse (a field
// that does not exist, a write outside edit mode) and for the errors of the
// database underneath, with that database's own message.
ZR_EXCEPTION_CLASS(EDatabaseError, Exception);

// ftUnknown fields keep whatever value they are given.
enum TFieldType { ftUnknown, ftString, ftInteger, ftFloat, ftBoolean, ftDateTime };
ZR_ENUM(TFieldType, ftUnknown, ftString, ftInteger, ftFloat, ftBoolean, ftDateTime);

struct TFieldDef {
    std::string Name;
    TFieldType DataType = ftUnknown;
};

// `value` as a field of `type` holds it: that kind, Null kept. Raises
// EVariantError when the value has no such reading.
Variant ConvertToFieldType(TFieldType type, const Variant& value);

class TDataSet;

class TField : public TObject {
    ZR_CLASS(TField, TObject)
  public:
    // Made by the data set when it opens, one per column, in column order.
    TField(TDataSet* dataSet, const TFieldDef& def, int index);

    const std::string& FieldName() const { return def_.Name; }
    TFieldType DataType() const { return def_.DataType; }
    TDataSet* DataSet() const { return dataSet_; }
    int Index() const { return index_; }

    // The value in the current record (the edited one while editing).
    Variant Value() const;
    // Only while the data set edits or inserts (else EDatabaseError); the
    // value is converted to the field's type (EVariantError when it has no
    // such reading) and the data set's links hear RecordChanged(this).
    void SetValue(const Variant& value);
    // The stored record's value while it is edited; Null for a new record.
    Variant OldValue() const;
    // The value being edited (the current value outside edit mode).
    Variant NewValue() const;

    bool IsNull() const { return Value().IsNull(); }
    void Clear() { SetValue(Null()); }
    std::string AsString() const { return VarToStr(Value()); }
    void SetAsString(const std::string& value) { SetValue(value); }
    std::int64_t AsInteger() const;
    void SetAsInteger(std::int64_t value) { SetValue(value); }
    double AsFloat() const;
    void SetAsFloat(double value) { SetValue(value); }
    bool AsBoolean() const;
    void SetAsBoolean(bool value) { SetValue(value); }
    TDateTime AsDateTime() const;
    void SetAsDateTime(TDateTime value) { SetValue(Variant::FromDateTime(value)); }

  private:
    TDataSet* dataSet_;
    TFieldDef def_;
    int index_;
};

}  // namespace zr
