#include "framework/MemDataSet.h"

namespace zr {

ZR_REGISTER_CLASS(TMemoryDataSet, c) {}

TMemoryDataSet::TMemoryDataSet(TComponent* owner) : TDataSet(owner) {}

TMemoryDataSet::~TMemoryDataSet() {
    Close();
}

void TMemoryDataSet::AddFieldDef(const std::string& name, TFieldType type) {
    CheckInactive();
    fieldDefs_.push_back({name, type});
}

void TMemoryDataSet::InternalOpen(std::vector<TFieldDef>& defs, std::vector<TRecord>& records) {
    defs = fieldDefs_;
}

}  // namespace zr
