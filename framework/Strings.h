// Lists of text lines. TStrings is the abstract list that controls and
// settings objects expose (memo lines, file lists); TStringList is the list
// that keeps its lines itself. Form files store a list's lines through its
// published "Strings" property: `Lines.Strings = ( '...' '...' )`.
#pragma once

#include <string>
#include <vector>

#include "Component.h"
#include "Event.h"

namespace zr {

class TStream;

class TStrings : public TPersistent {
    ZR_CLASS(TStrings, TPersistent)
  public:
    TStrings() = default;

    int Count() const { return GetCount(); }
    // Index out of range: EStringListError "List index out of bounds (<index>)".
    std::string Strings(int index) const { return Get(index); }
    void SetStrings(int index, const std::string& value) { Put(index, value); }
    std::string operator[](int index) const { return Get(index); }

    // Appends a line; returns its index.
    virtual int Add(const std::string& value);
    // `index` may be Count() (append).
    virtual void Insert(int index, const std::string& value) = 0;
    virtual void Delete(int index) = 0;
    virtual void Clear() = 0;
    void AddStrings(const TStrings& source);
    // The first line equal to `value` (letter case ignored unless the list
    // says otherwise), or -1.
    int IndexOf(const std::string& value) const;

    // Every line followed by CR LF. Assigning splits on CR LF, CR or LF; a
    // break at the very end adds no empty line.
    std::string Text() const;
    void SetText(const std::string& value);
    // The lines separated by commas; a line holding a blank, comma, quote or
    // control character, or an empty line, is double-quoted with inner quotes
    // doubled. Assigning also splits on blanks outside quotes.
    std::string CommaText() const;
    void SetCommaText(const std::string& value);

    // Replaces the lines with the file's lines (EFOpenError when it cannot be
    // opened). Reading denies writers while it reads, as the host does.
    void LoadFromFile(const std::string& fileName);
    // Writes Text() to a new file (EFCreateError when it cannot be created).
    void SaveToFile(const std::string& fileName) const;
    void LoadFromStream(TStream& stream);
    void SaveToStream(TStream& stream) const;

    std::vector<std::string> ToVector() const;
    void SetFromVector(const std::vector<std::string>& lines);

    // Batches changes: OnChange fires once when the outermost EndUpdate runs.
    void BeginUpdate();
    void EndUpdate();
    int UpdateCount() const { return updateCount_; }

    // Copies the lines of any TStrings; other sources as TPersistent does.
    void Assign(const TPersistent* source) override;

    // Form files leave an empty list out.
    bool StringsStored() const { return Count() > 0; }

  protected:
    virtual int GetCount() const = 0;
    virtual std::string Get(int index) const = 0;
    virtual void Put(int index, const std::string& value);
    virtual bool SameText(const std::string& a, const std::string& b) const;
    // Called with true when the first BeginUpdate starts, false when the last
    // EndUpdate ends.
    virtual void SetUpdateState(bool updating) {}
    [[noreturn]] void IndexError(int index) const;

  private:
    int updateCount_ = 0;
};

class TStringList : public TStrings {
    ZR_CLASS(TStringList, TStrings)
  public:
    TStringList() = default;
    ~TStringList() override;

    void Insert(int index, const std::string& value) override;
    void Delete(int index) override;
    void Clear() override;

    // IndexOf compares letter case only when this is true (default false).
    bool CaseSensitive() const { return caseSensitive_; }
    void SetCaseSensitive(bool value) { caseSensitive_ = value; }

    // Direct read access to the stored lines, for readers of large lists.
    const std::vector<std::string>& Lines() const { return lines_; }

    // Fire before and after every change (once per batch while updating).
    const TNotifyEvent& OnChange() const { return onChange_; }
    void SetOnChange(TNotifyEvent handler) { onChange_ = std::move(handler); }
    const TNotifyEvent& OnChanging() const { return onChanging_; }
    void SetOnChanging(TNotifyEvent handler) { onChanging_ = std::move(handler); }

  protected:
    int GetCount() const override { return static_cast<int>(lines_.size()); }
    std::string Get(int index) const override;
    void Put(int index, const std::string& value) override;
    bool SameText(const std::string& a, const std::string& b) const override;
    void SetUpdateState(bool updating) override;
    virtual void Changing();
    virtual void Changed();

  private:
    std::vector<std::string> lines_;
    bool caseSensitive_ = false;
    TNotifyEvent onChange_;
    TNotifyEvent onChanging_;
};

}  // namespace zr
