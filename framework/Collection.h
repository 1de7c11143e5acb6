// Collections: an ordered list of items of one class, owned by a persistent
// object and published as one of its properties. Items are made by the
// collection's item class (its factory), so form files and Assign can fill a
// collection without knowing the item type.
#pragma once

#include <string>
#include <vector>

#include "Component.h"
#include "TypeInfo.h"

namespace zr {

class TCollection;

class TCollectionItem : public TPersistent {
    ZR_CLASS(TCollectionItem, TPersistent)
  public:
    // Joins `collection` (when given) at the end.
    explicit TCollectionItem(TCollection* collection);
    ~TCollectionItem() override;

    TCollection* Collection() const { return collection_; }
    // Moves the item to another collection (nullptr: to none).
    void SetCollection(TCollection* collection);
    // The position in the collection, -1 when the item belongs to none.
    int Index() const;
    // Moves the item within its collection; EListError when out of range.
    void SetIndex(int index);
    // Unique within the collection for its whole life, never reused.
    int ID() const { return id_; }
    TPersistent* GetOwner() const override;
    virtual std::string DisplayName() const { return ClassName(); }

  protected:
    // Tells the collection this item (or, with allItems, everything) changed.
    void Changed(bool allItems);

  private:
    friend class TCollection;
    TCollection* collection_ = nullptr;
    int id_ = 0;
};

class TCollection : public TPersistent {
    ZR_CLASS(TCollection, TPersistent)
  public:
    // `itemClass` must be TCollectionItem or a descendant with an item factory.
    TCollection(TPersistent* owner, const TClassInfo& itemClass);
    ~TCollection() override;

    const TClassInfo& ItemClass() const { return *itemClass_; }
    TPersistent* GetOwner() const override { return owner_; }

    // A new item of the item class at the end.
    TCollectionItem* Add();
    // A new item at `index` (0..Count); EListError otherwise, nothing added.
    TCollectionItem* Insert(int index);
    void Delete(int index);
    void Clear();
    int Count() const { return static_cast<int>(items_.size()); }
    TCollectionItem* Items(int index) const;  // EListError when out of range
    TCollectionItem* FindItemID(int id) const;

    // Updates nest; Update(nullptr) runs when the outermost EndUpdate ends them.
    void BeginUpdate();
    void EndUpdate();
    int UpdateCount() const { return updateCount_; }

    // Copies another collection item by item (each new item Assigns from its
    // source item) in the source's order. Either every item is copied or the
    // collection is left as it was.
    void Assign(const TPersistent* source) override;

  protected:
    // Called when items change outside an update: `item` alone, or nullptr
    // when the collection as a whole changed.
    virtual void Update(TCollectionItem* item) {}
    // Update(nullptr) unless an update is in progress.
    void Changed();

  private:
    friend class TCollectionItem;
    void InsertItem(TCollectionItem* item);
    void RemoveItem(TCollectionItem* item);
    TCollectionItem* MakeItem();
    void CheckIndex(int index, int limit) const;

    TPersistent* owner_ = nullptr;
    const TClassInfo* itemClass_ = nullptr;
    std::vector<TCollectionItem*> items_;
    int nextID_ = 0;
    int updateCount_ = 0;
};

}  // namespace zr
