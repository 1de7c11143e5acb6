#include "dataset/LogDS.h"

#include <algorithm>

#include "framework/Application.h"
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
void AppendQuoted(std::string& out, const std::string& text) {
    out += '"';
    size_t from = 0;
    for (size_t quote; (quote = text.find('"', from)) != std::string::npos; from = quote + 1)
        out.append(text, from, quote + 1 - from) += '"';
    out.append(text, from, std::string::npos) += '"';
}

// A name stands bare unless it holds a blank (or a quote, which must be
// doubled inside quotes to stay part of the name). Looked for by hand: a
// search for either of two characters costs a library call per character.
void AppendFieldName(std::string& out, const std::string& name) {
    if (std::none_of(name.begin(), name.end(), [](char c) { return c == ' ' || c == '"'; }))
        out += name;
    else
        AppendQuoted(out, name);
}

std::string Before(const std::string& text, char c) {
    return text.substr(0, text.find(c));
}

std::string TableFromSQL(const std::string& sql) {
    const std::string::size_type from = UpperCase(sql).find("FROM ");
    if (from == std::string::npos) return {};
    return Before(Before(Before(sql.substr(from + 5), ' '), '\r'), '\n');
}

// Whether a field's value changed. Values of kinds that do not convert to
// one another (a text put where a number was) are different: comparing them
// raises, and the log must never make a post fail that succeeds without it.
bool Changed(const Variant& oldValue, const Variant& newValue) {
    try {
        return !(oldValue == newValue);
    } catch (const EVariantError&) {
        return true;
    }
}

}  // namespace

// The table a statement names: the data set's published TableName, else the
// word after the first "FROM " of its published SQL text; only what stands
// before a "." of either.
std::string TKVDatasetLog::TableName(const TDataSet* dataSet) {
    if (&dataSet->ClassInfo() != tableClass_) {
        tableClass_ = &dataSet->ClassInfo();
        tableNameProp_ = GetPropInfo(dataSet, "TableName");
        sqlProp_ = GetPropInfo(dataSet, "SQL");
    }
    std::string name;
    if (tableNameProp_) {
        // A property of another kind raises as reading it by name does.
        name = tableNameProp_->Kind == tkString && tableNameProp_->GetStr
                   ? tableNameProp_->GetStr(dataSet)
                   : GetStrProp(dataSet, "TableName");
    } else if (sqlProp_ && sqlProp_->Kind == tkClass) {
        // A property that holds no list, or something else, gives no table.
        const TObject* value =
            sqlProp_->GetObject ? sqlProp_->GetObject(dataSet) : GetObjectProp(dataSet, "SQL");
        if (const auto* lines = dynamic_cast<const TStrings*>(value))
            name = TableFromSQL(lines->Text());
    }
    return Before(name, '.');
}

void TKVDatasetLog::ComposeStatement() {
    const TDataSet* ds = dataLink_->DataSet();
    if (!ds) return;  // no data set reports a post without a link
    const bool edit = ds->State() == dsEdit;
    if (!edit && ds->State() != dsInsert) return;
    // Edit: the assignments, then the old values that find the row.
    // Insert: the names, then the new values. The names go straight into the
    // statement, the values into a buffer kept from post to post.
    std::string statement;
    statement.reserve(256);
    std::string& values = valuesBuffer_;
    values.clear();
    std::string& names = statement;
    for (int i = 0; i < ds->FieldCount(); ++i) {
        const TField* f = ds->Fields(i);
        const Variant& oldValue = ds->StoredValue(f->Index());
        const Variant& newValue = ds->CurrentValue(f->Index());
        if (!Changed(oldValue, newValue)) continue;
        if (!names.empty()) {
            names += ", ";
            values += edit ? " AND " : ", ";
        }
        AppendFieldName(names, f->FieldName());
        if (edit) {
            names += '=';
            AppendQuoted(names, VarToStr(newValue));
            values += '(';
            AppendFieldName(values, f->FieldName());
            values += '=';
            AppendQuoted(values, VarToStr(oldValue));
            values += ')';
        } else {
            AppendQuoted(values, VarToStr(newValue));
        }
    }
    if (names.empty()) return;
    const std::string table = TableName(ds);
    if (edit) {
        statement.insert(0, "\r\nSET\r\n  ").insert(0, table).insert(0, "UPDATE ");
        statement.append("\r\nWHERE\r\n  ").append(values);
    } else {
        statement.insert(0, "\r\n  (").insert(0, table).insert(0, "INSERT INTO ");
        statement.append(")\r\nVALUES\r\n  (").append(values).append(")");
    }
    onSQLStatement_(this, statement);
}

void TKVDatasetLog::UpdateStatus(TKVLDBTypeEvent state, TField* field) {
    if (IsDesigning() || !Active() || !filterEvents_.Contains(state)) return;
    if (state == dbeUpdateData && onSQLStatement_) ComposeStatement();
    // The process code page is UTF-8, so the line needs no conversion.
    std::string logText;
    logText.reserve(64);
    logText.append(timeStamp_.TextNow()) += ' ';
    logText += EnumInfo<TKVLDBTypeEvent>().Names[static_cast<size_t>(state)];
    if (field) logText.append(" ").append(field->FieldName()).append(":").append(field->AsString());
    logText += "\r\n";
    if (onChange_) onChange_(this, state, field, logText);
    if (!LogFile().empty()) WriteLine(logText);
}

// A line that cannot be written (a missing folder, a full disk) must neither
// make the post fail nor, as the data set closes in its destructor, end the
// process. The failure goes to the application's exception handling once, and
// again only after a line has been written meanwhile.
void TKVDatasetLog::WriteLine(const std::string& text) {
    try {
        WriteAsString(text);
        writeFailureReported_ = false;
    } catch (...) {
        if (writeFailureReported_) return;
        writeFailureReported_ = true;
        try {
            if (Application != nullptr) Application->HandleException(this);
        } catch (...) {
        }
    }
}

}  // namespace zr
