// Data sets: a cursor over records, with the host's states and the
// notifications that reach data sources and their links. A derived data set
// says where records come from and where posted ones go (the Internal*
// hooks); the cursor, the edit buffer and the notifications live here.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Component.h"
#include "Fields.h"

namespace zr {

enum TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert };
ZR_ENUM(TDataSetState, dsInactive, dsBrowse, dsEdit, dsInsert);

// What a data set tells its data sources.
enum TDataEvent {
    deFieldChange,      // a field's value was set
    deRecordChange,     // the current record changed as a whole
    deDataSetChange,    // the records changed (opened, posted, cancelled, deleted, first, last)
    deDataSetScroll,    // the cursor moved by a distance
    deLayoutChange,     // the fields changed
    deUpdateRecord,     // a post is about to store the record: links put their data in
    deUpdateState,      // the state changed
    deCheckBrowseMode,  // the record is about to be left
};

using TRecord = std::vector<Variant>;

class TDataSource;

class TDataSet : public TComponent {
    ZR_CLASS(TDataSet, TComponent)
  public:
    explicit TDataSet(TComponent* owner);
    // Lets go of its data sources (they see the data set closed). Derived
    // data sets close themselves in their own destructors, while whole.
    ~TDataSet() override;

    bool Active() const { return state_ != dsInactive; }
    void SetActive(bool value);
    void Open() { SetActive(true); }
    // Unposted changes of the current record are dropped, as Cancel does.
    void Close() { SetActive(false); }
    TDataSetState State() const { return state_; }

    int FieldCount() const { return static_cast<int>(fields_.size()); }
    TField* Fields(int index) const;
    TField* FindField(const std::string& name) const;  // nullptr; letter case ignored
    // EDatabaseError "Field '<name>' not found" when there is none.
    TField* FieldByName(const std::string& name) const;

    void First();
    void Last();
    void Next() { MoveBy(1); }
    void Prior() { MoveBy(-1); }
    // Moves up to `distance` records; returns how far it moved. An edited
    // record is posted first (or dropped when nothing in it changed).
    int MoveBy(int distance);
    bool Eof() const { return eof_; }
    bool Bof() const { return bof_; }
    bool IsEmpty() const { return rows_.empty(); }
    int RecordCount() const { return static_cast<int>(rows_.size()); }
    int RecNo() const { return rows_.empty() ? 0 : current_ + 1; }  // 1-based, 0 when empty

    // Edit the current record (an empty data set inserts instead).
    void Edit();
    // A new record before the current one (Insert) or after the last (Append).
    void Insert();
    void Append();
    // Stores the edited or inserted record. When storing fails the data set
    // stays in edit or insert mode with every value as it was typed.
    void Post();
    void Cancel();
    void Delete();
    bool Modified() const { return modified_; }
    // Whether records may be edited, inserted and deleted.
    virtual bool CanModify() const { return true; }

    // Opening waits for the end of loading when a form file sets Active.
    void Loaded() override;

    // ---- for fields and data sources ----
    const Variant& CurrentValue(int index) const;
    const Variant& StoredValue(int index) const;  // Null while inserting
    void SetFieldValue(TField* field, const Variant& value);
    void AddDataSource(TDataSource* source);
    void RemoveDataSource(TDataSource* source);

  protected:
    // Reads the columns and records; raises when the source cannot be read.
    virtual void InternalOpen(std::vector<TFieldDef>& defs, std::vector<TRecord>& records) = 0;
    virtual void InternalClose() {}
    // Stores `record`: `stored` is what the row held before an edit, or null
    // for a new record. May fill in values the store gave it (a new key).
    virtual void InternalPost(const TRecord* stored, TRecord& record) {}
    virtual void InternalDelete(const TRecord& stored) {}
    // EDatabaseError unless the data set is open, or unless it is closed.
    void CheckActive() const;
    void CheckInactive() const;

  private:
    void DataEvent(TDataEvent event, TField* field = nullptr, int distance = 0);
    void SetState(TDataSetState value);
    void DoOpen();
    void DoClose();
    void BeginInsert(bool append);
    void CheckBrowseMode();
    void CheckCanModify() const;

    TDataSetState state_ = dsInactive;
    std::vector<std::unique_ptr<TField>> fields_;
    std::vector<TRecord> rows_;
    TRecord buffer_;  // the record being edited or inserted
    int current_ = 0;
    int insertAt_ = 0;
    bool bof_ = true;
    bool eof_ = true;
    bool modified_ = false;
    bool streamedActive_ = false;
    std::vector<TDataSource*> dataSources_;
};

}  // namespace zr
