// Collections: order, positions, update batching and copying item by item
// through the item class.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/Collection.h"

namespace zr {
namespace {

class TColTestItem : public TCollectionItem {
    ZR_CLASS(TColTestItem, TCollectionItem)
  public:
    explicit TColTestItem(TCollection* collection) : TCollectionItem(collection) { ++alive; }
    ~TColTestItem() override { --alive; }

    std::string label = "new";
    int value = 0;
    void Touch() { Changed(false); }

    void Assign(const TPersistent* source) override {
        if (auto* item = dynamic_cast<const TColTestItem*>(source)) {
            if (item->label == "poison") throw EConvertError("refused");
            label = item->label;
            value = item->value;
            return;
        }
        TCollectionItem::Assign(source);
    }
    static inline int alive = 0;
};
ZR_REGISTER_CLASS(TColTestItem, c) {}

// An item that cannot copy anything (the base Assign).
class TColPlainItem : public TCollectionItem {
    ZR_CLASS(TColPlainItem, TCollectionItem)
  public:
    using TCollectionItem::TCollectionItem;
};
ZR_REGISTER_CLASS(TColPlainItem, c) {}

class TColTestCollection : public TCollection {
    ZR_CLASS(TColTestCollection, TCollection)
  public:
    explicit TColTestCollection(TPersistent* owner = nullptr,
                                const TClassInfo& itemClass = TColTestItem::StaticClassInfo())
        : TCollection(owner, itemClass) {}
    TColTestItem* At(int i) const { return static_cast<TColTestItem*>(Items(i)); }
    TColTestItem* AddItem(const std::string& label, int value = 0) {
        auto* item = static_cast<TColTestItem*>(Add());
        item->label = label;
        item->value = value;
        return item;
    }
    std::vector<std::string> Labels() const {
        std::vector<std::string> out;
        for (int i = 0; i < Count(); ++i) out.push_back(At(i)->label);
        return out;
    }

    std::vector<const TCollectionItem*> updates;
    std::string lastSeenLabel;

  protected:
    void Update(TCollectionItem* item) override {
        updates.push_back(item);
        // The newest item must be whole when the collection hears of it.
        auto* last = Count() > 0 ? dynamic_cast<TColTestItem*>(Items(Count() - 1)) : nullptr;
        if (last) lastSeenLabel = last->label;
    }
};
ZR_REGISTER_CLASS(TColTestCollection, c) {}

using Labels = std::vector<std::string>;

class CollectionTest : public ::testing::Test {
  protected:
    void SetUp() override { TColTestItem::alive = 0; }
    void TearDown() override { EXPECT_EQ(TColTestItem::alive, 0) << "an item leaked"; }
};

TEST_F(CollectionTest, ItemsKeepCreationOrderAndUniqueIDs) {
    TPersistent owner;
    TColTestCollection col(&owner);
    EXPECT_EQ(col.GetOwner(), &owner);
    EXPECT_EQ(&col.ItemClass(), &TColTestItem::StaticClassInfo());
    auto* a = col.AddItem("a");
    auto* b = col.AddItem("b");
    auto* c = col.AddItem("c");
    EXPECT_EQ(col.Labels(), (Labels{"a", "b", "c"}));
    EXPECT_EQ(c->Index(), 2);
    EXPECT_EQ(b->Collection(), &col);
    EXPECT_EQ(b->GetOwner(), &col);
    EXPECT_EQ(a->ID(), 0);
    EXPECT_EQ(c->ID(), 2);
    EXPECT_THROW(col.Items(3), EListError);
    EXPECT_THROW(col.Items(-1), EListError);

    delete b;  // a freed item leaves its collection
    EXPECT_EQ(col.Labels(), (Labels{"a", "c"}));
    auto* d = col.AddItem("d");
    EXPECT_EQ(d->ID(), 3) << "IDs are never reused";
    EXPECT_EQ(col.FindItemID(2), c);
    EXPECT_EQ(col.FindItemID(1), nullptr);
}

TEST_F(CollectionTest, InsertDeleteAndMovePositions) {
    TColTestCollection col;
    col.AddItem("a");
    col.AddItem("b");
    static_cast<TColTestItem*>(col.Insert(0))->label = "first";
    static_cast<TColTestItem*>(col.Insert(2))->label = "mid";
    static_cast<TColTestItem*>(col.Insert(col.Count()))->label = "last";
    EXPECT_EQ(col.Labels(), (Labels{"first", "a", "mid", "b", "last"}));

    EXPECT_THROW(col.Insert(6), EListError);
    EXPECT_THROW(col.Insert(-1), EListError);
    EXPECT_EQ(col.Count(), 5) << "a refused insert adds nothing";

    col.Delete(2);
    col.Delete(0);
    EXPECT_EQ(col.Labels(), (Labels{"a", "b", "last"}));
    EXPECT_THROW(col.Delete(3), EListError);

    col.At(2)->SetIndex(0);
    EXPECT_EQ(col.Labels(), (Labels{"last", "a", "b"}));
    EXPECT_THROW(col.At(0)->SetIndex(3), EListError);

    TColTestCollection other;
    col.At(1)->SetCollection(&other);
    EXPECT_EQ(col.Labels(), (Labels{"last", "b"}));
    EXPECT_EQ(other.Labels(), (Labels{"a"}));
    col.Clear();
    EXPECT_EQ(col.Count(), 0);
}

TEST_F(CollectionTest, UpdatesWaitForTheOutermostEndUpdate) {
    TColTestCollection col;
    col.AddItem("x");
    EXPECT_EQ(col.updates, (std::vector<const TCollectionItem*>{nullptr}));
    EXPECT_EQ(col.lastSeenLabel, "new") << "Update saw a half-made item";

    col.updates.clear();
    col.BeginUpdate();
    col.BeginUpdate();
    col.AddItem("y");
    col.Insert(0);
    col.Delete(1);
    col.At(0)->Touch();
    col.EndUpdate();
    EXPECT_TRUE(col.updates.empty());
    EXPECT_EQ(col.UpdateCount(), 1);
    col.EndUpdate();
    EXPECT_EQ(col.updates, (std::vector<const TCollectionItem*>{nullptr}));

    col.updates.clear();
    col.EndUpdate();  // unmatched: must not silence later changes
    EXPECT_EQ(col.UpdateCount(), 0);
    col.At(1)->Touch();
    EXPECT_EQ(col.updates, (std::vector<const TCollectionItem*>{col.At(1)}));
}

TEST_F(CollectionTest, AssignCopiesItemByItemInOrder) {
    TColTestCollection source, target;
    source.AddItem("one", 1);
    source.AddItem("two", 2);
    source.AddItem("three", 3);
    target.AddItem("old");
    target.updates.clear();

    target.Assign(&source);
    EXPECT_EQ(target.Labels(), (Labels{"one", "two", "three"}));
    EXPECT_EQ(target.At(2)->value, 3);
    EXPECT_NE(target.At(0), source.At(0));
    EXPECT_EQ(target.At(0)->Collection(), &target);
    EXPECT_EQ(target.updates.size(), 1u) << "one update for the whole copy";

    target.Assign(&target);
    EXPECT_EQ(target.Count(), 3);

    TPersistent stranger;
    try {
        target.Assign(&stranger);
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "Cannot assign a TPersistent to a TColTestCollection");
    }
}

TEST_F(CollectionTest, AFailedAssignLeavesTheTargetAsItWas) {
    TColTestCollection source, target;
    source.AddItem("fine");
    source.AddItem("poison");
    target.AddItem("keep");
    EXPECT_THROW(target.Assign(&source), EConvertError);
    EXPECT_EQ(target.Labels(), (Labels{"keep"}));
    EXPECT_EQ(target.UpdateCount(), 0);

    TColTestCollection plain(nullptr, TColPlainItem::StaticClassInfo());
    plain.Add();
    EXPECT_THROW(plain.Assign(&source), EConvertError);
    EXPECT_EQ(plain.Count(), 1);
    EXPECT_EQ(plain.Items(0)->ClassName(), "TColPlainItem");
}

TEST_F(CollectionTest, ItemClassesAreMadeByNameInsideTheirCollection) {
    TColTestCollection col;
    const TClassInfo& cls = FindClass("TColTestItem");
    ASSERT_TRUE(cls.CreateItem);
    EXPECT_FALSE(cls.CreateComponent);
    TCollectionItem* item = cls.CreateItem(&col);
    EXPECT_EQ(col.Count(), 1);
    EXPECT_EQ(col.Items(0), item);
    EXPECT_TRUE(item->Is<TColTestItem>());

    EXPECT_THROW(TColTestCollection(nullptr, TPersistent::StaticClassInfo()), EInvalidOperation);
    TColTestCollection noFactory(nullptr, TCollectionItem::StaticClassInfo());
    EXPECT_NE(noFactory.Add(), nullptr) << "the base item class is concrete";
}

}  // namespace
}  // namespace zr
