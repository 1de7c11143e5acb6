// The dataset log: watches one data set through a data source and writes one
// line per data link notification (time, kind, and for a changed field its
// name and text). When a record is about to be stored it can also compose
// the INSERT or UPDATE statement of the fields that changed and hand it to
// OnSQLStatement; statements never go to the log file. A line that cannot be
// written is dropped and reported to the application, never raised.
#pragma once

#include <string>

#include "../core/LogBase.h"
#include "LogDSTimeStamp.h"
#include "../framework/DB.h"

namespace zr {

enum TKVLDBTypeEvent {
    dbeActiveChanged,
    dbeEditingChanged,
    dbeDataSetChanged,
    dbeDataSetScrolled,
    dbeLayoutChanged,
    dbeRecordChanged,
    dbeUpdateData
};
ZR_ENUM(TKVLDBTypeEvent, dbeActiveChanged, dbeEditingChanged, dbeDataSetChanged, dbeDataSetScrolled,
        dbeLayoutChanged, dbeRecordChanged, dbeUpdateData);
using TKVLDBTypeEvents = Set<TKVLDBTypeEvent>;

// Every kind (mask 127), the default of FilterEvents.
inline constexpr TKVLDBTypeEvents KVLAllDBTypeEvents = TKVLDBTypeEvents::FromMask(127);

// Raised with every line before it is written; the handler may change LogText
// (an empty text writes nothing).
using TKVLDataChangeEvent = TClosure<TObject* /*Sender*/, TKVLDBTypeEvent /*State*/,
                                     TField* /*Field*/, std::string& /*LogText*/>;
// Receives each composed INSERT or UPDATE statement.
using TKVLSQLStatementEvent = TClosure<TObject* /*Sender*/, const std::string& /*SQL*/>;

class TLogDataLink;

class TKVDatasetLog : public TKVLogBase {
    ZR_CLASS(TKVDatasetLog, TKVLogBase)
  public:
    explicit TKVDatasetLog(TComponent* owner);
    ~TKVDatasetLog() override;

    // The data link's data source. Setting it (outside loading) logs
    // dbeActiveChanged besides whatever the link itself reports, and asks to
    // be told when the source dies.
    TDataSource* DataSource() const;
    void SetDataSource(TDataSource* value);
    TKVLDBTypeEvents FilterEvents() const { return filterEvents_; }
    void SetFilterEvents(TKVLDBTypeEvents value) { filterEvents_ = value; }
    const TKVLDataChangeEvent& OnChange() const { return onChange_; }
    void SetOnChange(const TKVLDataChangeEvent& handler) { onChange_ = handler; }
    const TKVLSQLStatementEvent& OnSQLStatement() const { return onSQLStatement_; }
    void SetOnSQLStatement(const TKVLSQLStatementEvent& handler) { onSQLStatement_ = handler; }

    // A removed data source is let go of (and logged as dbeActiveChanged).
    void Notification(TComponent* component, TOperation operation) override;

    // One notification: the statement for dbeUpdateData (to OnSQLStatement),
    // then the line (through OnChange) and its write. Nothing at all while
    // designing, while inactive, or for a kind outside FilterEvents.
    virtual void UpdateStatus(TKVLDBTypeEvent state, TField* field);

  private:
    void ComposeStatement();
    void WriteLine(const std::string& text);
    std::string TableName(const TDataSet* dataSet);

    TLogDataLink* dataLink_ = nullptr;
    TKVLDataChangeEvent onChange_;
    TKVLSQLStatementEvent onSQLStatement_;
    TKVLDBTypeEvents filterEvents_;
    TLogTimeStamp timeStamp_;
    bool writeFailureReported_ = false;
    // The WHERE or VALUES part of the statement being composed.
    std::string valuesBuffer_;
    // The data set class last asked for its table, and where its TableName
    // and SQL properties are (looked up by name once per class, not per post).
    const TClassInfo* tableClass_ = nullptr;
    const TPropInfo* tableNameProp_ = nullptr;
    const TPropInfo* sqlProp_ = nullptr;
};

}  // namespace zr
