// Variants, the in-memory data set, and the notifications a data link hears.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/DB.h"

using namespace zr;

TEST(VariantTest, ComparesAsTheHostDoesAndTurnsNullIntoEmptyText) {
    EXPECT_TRUE(Null() == Null());
    EXPECT_TRUE(Null() != Variant(0));
    EXPECT_TRUE(Variant("") != Null());
    EXPECT_TRUE(Variant(1) == Variant(1.0));
    EXPECT_TRUE(Variant("2") == Variant(2));
    EXPECT_TRUE(Variant("a") != Variant("A"));
    EXPECT_THROW((void)(Variant("abc") == Variant(1)), EVariantError);
    EXPECT_EQ(VarToStr(Null()), "");
    EXPECT_EQ(VarToStr(Variant(true)), "True");
    EXPECT_EQ(VarToStr(Variant(std::int64_t{-7})), "-7");
}

namespace {

// Writes down every notification, with the field's name where there is one.
class RecordingLink : public TDataLink {
  public:
    std::vector<std::string> heard;
    TField* writeInUpdate = nullptr;

  protected:
    void ActiveChanged() override { heard.push_back(Active() ? "Active" : "Inactive"); }
    void EditingChanged() override { heard.push_back(Editing() ? "Editing" : "Browsing"); }
    void DataSetChanged() override { heard.push_back("DataSetChanged"); }
    void DataSetScrolled(int distance) override {
        heard.push_back("Scrolled " + std::to_string(distance));
    }
    void RecordChanged(TField* field) override {
        heard.push_back("RecordChanged " + (field ? field->FieldName() : std::string("-")));
    }
    void UpdateData() override {
        heard.push_back("UpdateData");
        // A link writing its content into the record is not told about it.
        if (writeInUpdate) writeInUpdate->SetAsString("from link");
    }
};

struct People : ::testing::Test {
    TComponent form{nullptr};
    TMemoryDataSet* people = new TMemoryDataSet(&form);
    TDataSource* source = new TDataSource(&form);
    RecordingLink link;

    void SetUp() override {
        people->AddFieldDef("Name", ftString);
        people->AddFieldDef("Age", ftInteger);
        source->SetDataSet(people);
        link.SetDataSource(source);
    }
    void Add(const std::string& name, int age) {
        people->Append();
        people->FieldByName("Name")->SetAsString(name);
        people->FieldByName("Age")->SetAsInteger(age);
        people->Post();
    }
};

}  // namespace

TEST_F(People, LinkHearsEachStepOfAnEditInTheHostsOrder) {
    people->Open();
    Add("Ann", 30);
    Add("Bob", 40);
    people->First();
    link.heard.clear();

    people->Next();
    people->Edit();
    people->FieldByName("Age")->SetAsInteger(41);
    link.writeInUpdate = people->FieldByName("Name");
    people->Post();
    people->Close();
    EXPECT_EQ(link.heard, (std::vector<std::string>{"Scrolled 1", "Editing", "RecordChanged -",
                                                    "RecordChanged Age", "UpdateData", "Browsing",
                                                    "DataSetChanged", "Inactive"}));
    people->Open();
    EXPECT_EQ(link.heard.back(), "Active");
}

TEST_F(People, OldValueIsTheStoredRecordAndNewValueTheTypedOne) {
    people->Open();
    Add("Ann", 30);
    people->Edit();
    people->FieldByName("Age")->SetValue("31");  // converted to the field's type
    TField* age = people->FieldByName("Age");
    EXPECT_TRUE(age->OldValue() == Variant(30));
    EXPECT_EQ(age->NewValue().VarType(), varInteger);
    EXPECT_EQ(age->NewValue().AsInteger(), 31);
    people->Cancel();
    EXPECT_EQ(age->AsInteger(), 30);

    people->Insert();
    EXPECT_TRUE(age->OldValue().IsNull());
    people->FieldByName("Name")->SetAsString("Cid");
    EXPECT_TRUE(age->NewValue().IsNull());
    EXPECT_THROW(age->SetAsString("old"), EVariantError);
    people->Post();
    EXPECT_EQ(people->RecordCount(), 2);
    EXPECT_EQ(people->RecNo(), 1);  // inserted before Ann
    EXPECT_THROW(people->FieldByName("Name")->SetAsString("x"), EDatabaseError);
    EXPECT_THROW(people->FieldByName("Nope"), EDatabaseError);
}

TEST_F(People, CursorStopsAtBothEndsAndMovingPostsAnEdit) {
    people->Open();
    EXPECT_TRUE(people->Eof() && people->Bof());
    for (int i = 0; i < 3; ++i) Add("P" + std::to_string(i), i);
    people->First();
    EXPECT_EQ(people->MoveBy(5), 2);
    EXPECT_TRUE(people->Eof());
    EXPECT_EQ(people->MoveBy(-1), -1);
    EXPECT_FALSE(people->Eof());
    people->Prior();
    people->Prior();
    EXPECT_TRUE(people->Bof());
    EXPECT_EQ(people->FieldByName("Name")->AsString(), "P0");

    people->Edit();
    people->FieldByName("Name")->SetAsString("changed");
    people->Next();  // leaving the record stores it
    EXPECT_EQ(people->State(), dsBrowse);
    people->First();
    EXPECT_EQ(people->FieldByName("Name")->AsString(), "changed");
    people->Delete();
    EXPECT_EQ(people->FieldByName("Name")->AsString(), "P1");
}

TEST_F(People, DisabledSourceAndDeadPartsLeaveTheLinkInactive) {
    people->Open();
    source->SetEnabled(false);
    EXPECT_FALSE(link.Active());
    source->SetEnabled(true);
    EXPECT_TRUE(link.Active());
    delete people;
    people = nullptr;
    EXPECT_EQ(source->DataSet(), nullptr);
    EXPECT_FALSE(link.Active());
    delete source;
    EXPECT_EQ(link.DataSource(), nullptr);
}
