// Data sources and data links: a data source connects one data set to any
// number of links; each link hears the data set's notifications as calls of
// its virtual methods, in the host's order.
#pragma once

#include <vector>

#include "Component.h"
#include "DataSet.h"

namespace zr {

class TDataLink;

class TDataSource : public TComponent {
    ZR_CLASS(TDataSource, TComponent)
  public:
    explicit TDataSource(TComponent* owner);
    // Tells those that hold it first (a component whose link uses this source
    // lets go of it while the source is still whole), then drops its data
    // set and its remaining links, which see the data set go inactive.
    ~TDataSource() override;

    TDataSet* DataSet() const { return dataSet_; }
    void SetDataSet(TDataSet* value);
    // A disabled source reports its data set as inactive to its links.
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    // The data set's state, dsInactive without one or when disabled.
    TDataSetState State() const { return state_; }

    void Notification(TComponent* component, TOperation operation) override;

    // ---- for data sets and links ----
    void DataEvent(TDataEvent event, TField* field, int distance);
    void AddDataLink(TDataLink* link);
    void RemoveDataLink(TDataLink* link);

  private:
    void UpdateState();

    TDataSet* dataSet_ = nullptr;
    bool enabled_ = true;
    TDataSetState state_ = dsInactive;
    std::vector<TDataLink*> links_;
};

class TDataLink : public TPersistent {
    ZR_CLASS(TDataLink, TPersistent)
  public:
    TDataLink() = default;
    // Leaves its data source without telling itself anything.
    ~TDataLink() override;

    TDataSource* DataSource() const { return dataSource_; }
    void SetDataSource(TDataSource* value);
    TDataSet* DataSet() const { return dataSource_ ? dataSource_->DataSet() : nullptr; }
    // The data set is open (and the source enabled).
    bool Active() const { return active_; }
    // The data set edits or inserts.
    bool Editing() const { return editing_; }

  protected:
    // The notifications, as the host raises them. The defaults do what the
    // host's do: a changed data set is a changed record, a scroll a changed
    // data set.
    virtual void ActiveChanged() {}
    virtual void EditingChanged() {}
    virtual void DataSetChanged() { RecordChanged(nullptr); }
    virtual void DataSetScrolled(int distance) { DataSetChanged(); }
    virtual void LayoutChanged() { DataSetChanged(); }
    // `field` is nullptr when the record changed as a whole.
    virtual void RecordChanged(TField* field) {}
    // A post is about to store the record.
    virtual void UpdateData() {}

  private:
    friend class TDataSource;
    void DataEvent(TDataEvent event, TField* field, int distance);
    void UpdateState();

    TDataSource* dataSource_ = nullptr;
    bool active_ = false;
    bool editing_ = false;
    bool updating_ = false;
};

}  // namespace zr
