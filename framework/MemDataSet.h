// A data set that holds its records in memory: its columns are declared
// before it opens, it starts empty, and its records live until it closes.
#pragma once

#include <string>
#include <vector>

#include "DataSet.h"

namespace zr {

class TMemoryDataSet : public TDataSet {
    ZR_CLASS(TMemoryDataSet, TDataSet)
  public:
    explicit TMemoryDataSet(TComponent* owner);
    ~TMemoryDataSet() override;

    // Only while closed (EDatabaseError otherwise).
    void AddFieldDef(const std::string& name, TFieldType type);
    const std::vector<TFieldDef>& FieldDefs() const { return fieldDefs_; }

  protected:
    void InternalOpen(std::vector<TFieldDef>& defs, std::vector<TRecord>& records) override;

  private:
    std::vector<TFieldDef> fieldDefs_;
};

}  // namespace zr
