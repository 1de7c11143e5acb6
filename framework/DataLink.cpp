#include "framework/DataLink.h"

#include <algorithm>

#include "framework/ReceiverSnapshot.h"

namespace zr {

ZR_REGISTER_CLASS(TDataSource, c) {
    c.Property("DataSet", &TDataSource::DataSet, &TDataSource::SetDataSet);
    c.Property("Enabled", &TDataSource::Enabled, &TDataSource::SetEnabled).Default(true);
}

ZR_REGISTER_CLASS(TDataLink, c) {}

namespace {

template <class T>
bool Holds(const std::vector<T*>& list, const T* item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

}  // namespace

// ---- TDataSource -----------------------------------------------------------------

TDataSource::TDataSource(TComponent* owner) : TComponent(owner) {}

TDataSource::~TDataSource() {
    Destroying();
    SetDataSet(nullptr);
    while (!links_.empty()) RemoveDataLink(links_.back());
}

void TDataSource::SetDataSet(TDataSet* value) {
    if (value == dataSet_) return;
    if (dataSet_) {
        dataSet_->RemoveDataSource(this);
        RemoveFreeNotification(dataSet_);
    }
    dataSet_ = value;
    if (dataSet_) {
        dataSet_->AddDataSource(this);
        dataSet_->FreeNotification(this);
    }
    UpdateState();
}

void TDataSource::SetEnabled(bool value) {
    enabled_ = value;
    UpdateState();
}

void TDataSource::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    // A dying data set lets go of its sources itself; this covers one that
    // merely leaves without telling.
    if (operation == opRemove && component == dataSet_) {
        dataSet_ = nullptr;
        UpdateState();
    }
}

void TDataSource::UpdateState() {
    const TDataSetState state = enabled_ && dataSet_ ? dataSet_->State() : dsInactive;
    if (state == state_) return;
    state_ = state;
    for (TDataLink* link : TReceiverSnapshot(links_))
        if (Holds(links_, link)) link->UpdateState();
}

void TDataSource::DataEvent(TDataEvent event, TField* field, int distance) {
    if (event == deUpdateState) return UpdateState();
    if (state_ == dsInactive) return;
    // A link may leave (or others with it) while it is told.
    for (TDataLink* link : TReceiverSnapshot(links_))
        if (Holds(links_, link)) link->DataEvent(event, field, distance);
}

void TDataSource::AddDataLink(TDataLink* link) {
    links_.push_back(link);
    link->dataSource_ = this;
    link->UpdateState();
}

void TDataSource::RemoveDataLink(TDataLink* link) {
    link->dataSource_ = nullptr;
    links_.erase(std::remove(links_.begin(), links_.end(), link), links_.end());
    link->UpdateState();
}

// ---- TDataLink -------------------------------------------------------------------

TDataLink::~TDataLink() {
    // Cleared first, so that leaving the source raises no notification into
    // a link that is half gone.
    active_ = false;
    editing_ = false;
    SetDataSource(nullptr);
}

void TDataLink::SetDataSource(TDataSource* value) {
    if (value == dataSource_) return;
    if (dataSource_) dataSource_->RemoveDataLink(this);
    if (value) value->AddDataLink(this);
}

void TDataLink::UpdateState() {
    const bool active = dataSource_ && dataSource_->State() != dsInactive;
    if (active != active_) {
        active_ = active;
        ActiveChanged();
    }
    const TDataSetState state = dataSource_ ? dataSource_->State() : dsInactive;
    const bool editing = state == dsEdit || state == dsInsert;
    if (editing != editing_) {
        editing_ = editing;
        EditingChanged();
    }
}

void TDataLink::DataEvent(TDataEvent event, TField* field, int distance) {
    if (event == deUpdateState) return UpdateState();
    if (!active_) return;
    switch (event) {
        case deFieldChange:
        case deRecordChange:
            // What a link writes into the record while it updates it is not
            // news to itself.
            if (!updating_) RecordChanged(field);
            break;
        case deDataSetChange:
            DataSetChanged();
            break;
        case deDataSetScroll:
            DataSetScrolled(distance);
            break;
        case deLayoutChange:
            LayoutChanged();
            break;
        case deUpdateRecord: {
            updating_ = true;
            struct Reset {
                bool& flag;
                ~Reset() { flag = false; }
            } reset{updating_};
            UpdateData();
            break;
        }
        default:
            break;
    }
}

}  // namespace zr
