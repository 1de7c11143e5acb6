#include "framework/DataSet.h"

#include <algorithm>

#include "framework/DataLink.h"
#include "framework/ReceiverSnapshot.h"
#include "framework/SysUtils.h"

namespace zr {

ZR_REGISTER_CLASS(TDataSet, c) {
    c.Property("Active", &TDataSet::Active, &TDataSet::SetActive).Default(false);
}

namespace {

const Variant& NullValue() {
    static const Variant null;
    return null;
}

bool Editing(TDataSetState state) {
    return state == dsEdit || state == dsInsert;
}

}  // namespace

TDataSet::TDataSet(TComponent* owner) : TComponent(owner) {}

TDataSet::~TDataSet() {
    Close();
    const std::vector<TDataSource*> sources = dataSources_;
    for (TDataSource* source : sources) source->SetDataSet(nullptr);
}

// ---- opening and closing -------------------------------------------------------

void TDataSet::SetActive(bool value) {
    if (IsLoading()) {
        streamedActive_ = value;
        return;
    }
    if (value == Active()) return;
    if (value)
        DoOpen();
    else
        DoClose();
}

void TDataSet::Loaded() {
    TComponent::Loaded();
    if (streamedActive_) SetActive(true);
}

void TDataSet::DoOpen() {
    std::vector<TFieldDef> defs;
    std::vector<TRecord> rows;
    InternalOpen(defs, rows);  // a failure leaves the data set closed
    fields_.clear();
    for (size_t i = 0; i < defs.size(); ++i)
        fields_.push_back(std::make_unique<TField>(this, defs[i], static_cast<int>(i)));
    // A store may keep values of its own after the fields' (how to find the
    // row again); fields never reach them.
    for (TRecord& row : rows)
        if (row.size() < defs.size()) row.resize(defs.size());
    rows_ = std::move(rows);
    current_ = 0;
    bof_ = true;
    eof_ = rows_.empty();
    modified_ = false;
    SetState(dsBrowse);
}

void TDataSet::DoClose() {
    // Links hear of it while the fields still exist.
    SetState(dsInactive);
    InternalClose();
    buffer_.clear();
    rows_.clear();
    fields_.clear();
    modified_ = false;
}

void TDataSet::CheckActive() const {
    if (!Active()) throw EDatabaseError("Cannot perform this operation on a closed dataset");
}

void TDataSet::CheckInactive() const {
    if (Active()) throw EDatabaseError("Cannot perform this operation on an open dataset");
}

// ---- fields ------------------------------------------------------------------

TField* TDataSet::Fields(int index) const {
    if (index < 0 || index >= FieldCount())
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    return fields_[static_cast<size_t>(index)].get();
}

TField* TDataSet::FindField(const std::string& name) const {
    for (const auto& field : fields_)
        if (SameText(field->FieldName(), name)) return field.get();
    return nullptr;
}

TField* TDataSet::FieldByName(const std::string& name) const {
    if (TField* field = FindField(name)) return field;
    throw EDatabaseError("Field '" + name + "' not found");
}

const Variant& TDataSet::CurrentValue(int index) const {
    if (Editing(state_)) return buffer_.at(static_cast<size_t>(index));
    return StoredValue(index);
}

const Variant& TDataSet::StoredValue(int index) const {
    if (state_ == dsInsert || rows_.empty()) return NullValue();
    return rows_[static_cast<size_t>(current_)].at(static_cast<size_t>(index));
}

void TDataSet::SetFieldValue(TField* field, const Variant& value) {
    if (!Editing(state_)) throw EDatabaseError("Dataset not in edit or insert mode");
    buffer_.at(static_cast<size_t>(field->Index())) = value;
    modified_ = true;
    DataEvent(deFieldChange, field);
}

// ---- moving --------------------------------------------------------------------

void TDataSet::First() {
    CheckActive();
    CheckBrowseMode();
    current_ = 0;
    bof_ = true;
    eof_ = rows_.empty();
    DataEvent(deDataSetChange);
}

void TDataSet::Last() {
    CheckActive();
    CheckBrowseMode();
    current_ = std::max(0, RecordCount() - 1);
    eof_ = true;
    bof_ = rows_.empty();
    DataEvent(deDataSetChange);
}

int TDataSet::MoveBy(int distance) {
    CheckActive();
    CheckBrowseMode();
    if (distance == 0) return 0;
    const int target = std::clamp(current_ + distance, 0, std::max(0, RecordCount() - 1));
    const int moved = target - current_;
    current_ = target;
    bof_ = distance < 0 && moved > distance;
    eof_ = distance > 0 && moved < distance;
    if (moved != 0) DataEvent(deDataSetScroll, nullptr, moved);
    return moved;
}

// ---- editing -------------------------------------------------------------------

void TDataSet::CheckCanModify() const {
    if (!CanModify()) throw EDatabaseError("Cannot modify a read-only dataset");
}

void TDataSet::CheckBrowseMode() {
    if (!Editing(state_)) return;
    if (modified_)
        Post();
    else
        Cancel();
}

void TDataSet::Edit() {
    CheckActive();
    if (Editing(state_)) return;
    CheckCanModify();
    if (rows_.empty()) return Insert();
    buffer_ = rows_[static_cast<size_t>(current_)];
    SetState(dsEdit);
    DataEvent(deRecordChange);
}

void TDataSet::Insert() {
    BeginInsert(false);
}

void TDataSet::Append() {
    BeginInsert(true);
}

void TDataSet::BeginInsert(bool append) {
    CheckActive();
    CheckBrowseMode();
    CheckCanModify();
    insertAt_ = append || rows_.empty() ? RecordCount() : current_;
    buffer_.assign(fields_.size(), Variant());
    bof_ = eof_ = false;
    SetState(dsInsert);
    DataEvent(deDataSetChange);
}

void TDataSet::Post() {
    CheckActive();
    if (!Editing(state_)) throw EDatabaseError("Dataset not in edit or insert mode");
    DataEvent(deUpdateRecord);
    DataEvent(deCheckBrowseMode);
    // The store works on a copy: if it fails, the typed values stay as they
    // were and the record stays in edit or insert mode.
    TRecord record = buffer_;
    if (state_ == dsEdit) {
        InternalPost(&rows_[static_cast<size_t>(current_)], record);
        rows_[static_cast<size_t>(current_)] = std::move(record);
    } else {
        InternalPost(nullptr, record);
        rows_.insert(rows_.begin() + insertAt_, std::move(record));
        current_ = insertAt_;
    }
    buffer_.clear();
    SetState(dsBrowse);
    DataEvent(deDataSetChange);
}

void TDataSet::Cancel() {
    if (!Editing(state_)) return;
    buffer_.clear();
    SetState(dsBrowse);
    eof_ = rows_.empty();
    DataEvent(deDataSetChange);
}

void TDataSet::Delete() {
    CheckActive();
    if (state_ == dsInsert) return Cancel();
    if (rows_.empty()) throw EDatabaseError("Cannot perform this operation on an empty dataset");
    CheckCanModify();
    DataEvent(deCheckBrowseMode);
    InternalDelete(rows_[static_cast<size_t>(current_)]);
    rows_.erase(rows_.begin() + current_);
    current_ = std::min(current_, std::max(0, RecordCount() - 1));
    bof_ = eof_ = rows_.empty();
    buffer_.clear();
    SetState(dsBrowse);
    DataEvent(deDataSetChange);
}

// ---- notifications -------------------------------------------------------------

void TDataSet::SetState(TDataSetState value) {
    if (state_ == value) return;
    state_ = value;
    modified_ = false;
    DataEvent(deUpdateState);
}

void TDataSet::DataEvent(TDataEvent event, TField* field, int distance) {
    // A receiver may let go of its source: each source is still checked.
    for (TDataSource* source : TReceiverSnapshot(dataSources_))
        if (std::find(dataSources_.begin(), dataSources_.end(), source) != dataSources_.end())
            source->DataEvent(event, field, distance);
}

void TDataSet::AddDataSource(TDataSource* source) {
    if (std::find(dataSources_.begin(), dataSources_.end(), source) == dataSources_.end())
        dataSources_.push_back(source);
}

void TDataSet::RemoveDataSource(TDataSource* source) {
    dataSources_.erase(std::remove(dataSources_.begin(), dataSources_.end(), source),
                       dataSources_.end());
}

}  // namespace zr
