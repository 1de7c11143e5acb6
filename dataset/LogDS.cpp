#include "dataset/LogDS.h"

#include "framework/DateUtils.h"
#include "framework/Strings.h"
#include "framework/SysUtils.h"
#include "framework/TypeInfo.h"

namespace zr {

ZR_REGISTER_CLASS(TKVDatasetLog, c) {
    c.Property("DataSource", &TKVDatasetLog::DataSource, &TKVDatasetLog::SetDataSource);
    c.Property("FilterEvents", &TKVDatasetLog::FilterEvents, &TKVDatasetLog::SetFilterEvents)
        .Default(KVLAllDBTypeEvents);
    c.Property("OnChange", &TKVDatasetLog::OnChange, &TKVDatasetLog::SetOnChange);
    c.Property("OnSQLStatement", &TKVDatasetLog::OnSQLStatement, &TKVDatasetLog::SetOnSQLStatement);
}

// The link that turns each notification into a call of UpdateStatus.
class TLogDataLink : public TDataLink {
  public:
    explicit TLogDataLink(TKVDatasetLog* log) : DatasetLog(log) {}
    // Cleared first: letting go of the data source raises notifications that
    // must reach no log.
    ~TLogDataLink() override { DatasetLog = nullptr; }

    TKVDatasetLog* DatasetLog;

  protected:
    void ActiveChanged() override { Tell(dbeActiveChanged); }
    void DataSetChanged() override { Tell(dbeDataSetChanged); }
    void DataSetScrolled(int distance) override { Tell(dbeDataSetScrolled); }
    void EditingChanged() override { Tell(dbeEditingChanged); }
    void LayoutChanged() override { Tell(dbeLayoutChanged); }
    void RecordChanged(TField* field) override { Tell(dbeRecordChanged, field); }
    void UpdateData() override { Tell(dbeUpdateData); }

  private:
    void Tell(TKVLDBTypeEvent state, TField* field = nullptr) {
        if (DatasetLog) DatasetLog->UpdateStatus(state, field);
    }
};

TKVDatasetLog::TKVDatasetLog(TComponent* owner)
    : TKVLogBase(owner), dataLink_(new TLogDataLink(this)), filterEvents_(KVLAllDBTypeEvents) {}

TKVDatasetLog::~TKVDatasetLog() {
    delete dataLink_;
    dataLink_ = nullptr;
}

TDataSource* TKVDatasetLog::DataSource() const {
    return dataLink_->DataSource();
}

void TKVDatasetLog::SetDataSource(TDataSource* value) {
    dataLink_->SetDataSource(value);
    if (value) value->FreeNotification(this);
    if (!IsLoading()) UpdateStatus(dbeActiveChanged, nullptr);
}

void TKVDatasetLog::Notification(TComponent* component, TOperation operation) {
    TKVLogBase::Notification(component, operation);
    if (operation == opRemove && dataLink_ && component == dataLink_->DataSource())
        SetDataSource(nullptr);
}

namespace {

// A double quote inside a name or value is doubled, so that what a user
// typed can neither break the statement nor change its meaning.
std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

// A name stands bare unless it holds a blank (or a quote, which must be
// doubled inside quotes to stay part of the name).
std::string FieldNameText(const std::string& name) {
    return name.find_first_of(" \"") == std::string::npos ? name : Quoted(name);
}

std::string Before(const std::string& text, char c) {
    return text.substr(0, text.find(c));
}

std::string TableFromSQL(const std::string& sql) {
    const std::string::size_type from = UpperCase(sql).find("FROM ");
    if (from == std::string::npos) return {};
    return Before(Before(Before(sql.substr(from + 5), ' '), '\r'), '\n');
}

// The table a statement names: the data set's published TableName, else the
// word after the first "FROM " of its published SQL text; only what stands
// before a "." of either.
std::string GetTableName(const TDataSet* dataSet) {
    if (!dataSet) return {};
    std::string name;
    if (GetPropInfo(dataSet, "TableName")) {
        name = GetStrProp(dataSet, "TableName");
    } else if (const TPropInfo* sql = GetPropInfo(dataSet, "SQL"); sql && sql->Kind == tkClass) {
        // A property that holds no list, or something else, gives no table.
        const auto* lines = dynamic_cast<const TStrings*>(GetObjectProp(dataSet, "SQL"));
        if (lines) name = TableFromSQL(lines->Text());
    }
    return Before(name, '.');
}

}  // namespace

void TKVDatasetLog::ComposeStatement() {
    const TDataSet* ds = dataLink_->DataSet();
    if (!ds) return;  // no data set reports a post without a link
    std::string first, second;
    for (int i = 0; i < ds->FieldCount(); ++i) {
        const TField* f = ds->Fields(i);
        const Variant oldValue = f->OldValue(), newValue = f->NewValue();
        if (oldValue == newValue) continue;
        const std::string name = FieldNameText(f->FieldName());
        const std::string newText = Quoted(VarToStr(newValue));
        if (!first.empty()) first += ", ";
        if (ds->State() == dsEdit) {
            first += name + "=" + newText;
            if (!second.empty()) second += " AND ";
            second += "(" + name + "=" + Quoted(VarToStr(oldValue)) + ")";
        } else if (ds->State() == dsInsert) {
            first += name;
            if (!second.empty()) second += ", ";
            second += newText;
        }
    }
    if (first.empty() || second.empty()) return;
    std::string statement;
    if (ds->State() == dsEdit)
        statement =
            "UPDATE " + GetTableName(ds) + "\r\nSET\r\n  " + first + "\r\nWHERE\r\n  " + second;
    else if (ds->State() == dsInsert)
        statement = "INSERT INTO " + GetTableName(ds) + "\r\n  (" + first + ")\r\nVALUES\r\n  (" +
                    second + ")";
    else
        return;
    onSQLStatement_(this, statement);
}

void TKVDatasetLog::UpdateStatus(TKVLDBTypeEvent state, TField* field) {
    if (IsDesigning() || !Active() || !filterEvents_.Contains(state)) return;
    if (state == dbeUpdateData && onSQLStatement_) ComposeStatement();
    // The process code page is UTF-8, so the line needs no conversion.
    std::string logText =
        FormatDateTime("c", Now()) + " " + GetEnumName(EnumInfo<TKVLDBTypeEvent>(), state);
    if (field) logText += " " + field->FieldName() + ":" + field->AsString();
    logText += "\r\n";
    if (onChange_) onChange_(this, state, field, logText);
    if (!LogFile().empty()) WriteAsString(logText);
}

}  // namespace zr
