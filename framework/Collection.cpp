// Direct construction (`new TMyItem(collection)`) joins the collection from
// TCollectionItem's constructor, before the derived item is whole; Add and
// Insert therefore run inside an update, so Update() first sees the new item
// once it is complete.
#include "framework/Collection.h"

#include <algorithm>

namespace zr {

ZR_REGISTER_CLASS(TCollectionItem, c) {}
ZR_REGISTER_CLASS(TCollection, c) {}

namespace {

[[noreturn]] void IndexError(int index) {
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
}

}  // namespace

// ---- TCollectionItem ---------------------------------------------------------

TCollectionItem::TCollectionItem(TCollection* collection) {
    SetCollection(collection);
}

TCollectionItem::~TCollectionItem() {
    if (collection_) collection_->RemoveItem(this);
}

void TCollectionItem::SetCollection(TCollection* collection) {
    if (collection == collection_) return;
    if (collection_) collection_->RemoveItem(this);
    if (collection) collection->InsertItem(this);
}

int TCollectionItem::Index() const {
    if (!collection_) return -1;
    const auto& items = collection_->items_;
    auto it = std::find(items.begin(), items.end(), this);
    return it == items.end() ? -1 : static_cast<int>(it - items.begin());
}

void TCollectionItem::SetIndex(int index) {
    const int current = Index();
    if (current < 0 || index == current) return;
    collection_->CheckIndex(index, collection_->Count() - 1);
    auto& items = collection_->items_;
    items.erase(items.begin() + current);
    items.insert(items.begin() + index, this);
    Changed(true);
}

TPersistent* TCollectionItem::GetOwner() const {
    return collection_;
}

void TCollectionItem::Changed(bool allItems) {
    if (collection_ && collection_->updateCount_ == 0)
        collection_->Update(allItems ? nullptr : this);
}

// ---- TCollection -------------------------------------------------------------

TCollection::TCollection(TPersistent* owner, const TClassInfo& itemClass)
    : owner_(owner), itemClass_(&itemClass) {
    if (!itemClass.InheritsFrom(TCollectionItem::StaticClassInfo()))
        throw EInvalidOperation(itemClass.Name + " is not a collection item class");
}

TCollection::~TCollection() {
    // Nothing is reported while the collection dies: its derived part, which
    // would receive Update, is gone already.
    updateCount_ = 1;
    Clear();
}

TCollectionItem* TCollection::MakeItem() {
    if (!itemClass_->CreateItem)
        throw EInvalidOperation("Cannot create an item of class " + itemClass_->Name);
    return itemClass_->CreateItem(this);
}

TCollectionItem* TCollection::Add() {
    BeginUpdate();
    TCollectionItem* item = nullptr;
    try {
        item = MakeItem();
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
    return item;
}

TCollectionItem* TCollection::Insert(int index) {
    CheckIndex(index, Count());
    BeginUpdate();
    TCollectionItem* item = nullptr;
    try {
        item = MakeItem();
        item->SetIndex(index);
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
    return item;
}

void TCollection::Delete(int index) {
    CheckIndex(index, Count() - 1);
    delete items_[static_cast<size_t>(index)];
}

void TCollection::Clear() {
    if (items_.empty()) return;
    BeginUpdate();
    while (!items_.empty()) delete items_.back();
    EndUpdate();
}

TCollectionItem* TCollection::Items(int index) const {
    CheckIndex(index, Count() - 1);
    return items_[static_cast<size_t>(index)];
}

TCollectionItem* TCollection::FindItemID(int id) const {
    for (TCollectionItem* item : items_)
        if (item->id_ == id) return item;
    return nullptr;
}

void TCollection::BeginUpdate() {
    ++updateCount_;
}

void TCollection::EndUpdate() {
    // An unmatched EndUpdate must not push the count below zero and silence
    // every later change.
    if (updateCount_ == 0) return;
    --updateCount_;
    Changed();
}

void TCollection::Changed() {
    if (updateCount_ == 0) Update(nullptr);
}

void TCollection::Assign(const TPersistent* source) {
    const auto* from = dynamic_cast<const TCollection*>(source);
    if (!from) return TPersistent::Assign(source);
    if (from == this) return;
    BeginUpdate();
    // The copies are made behind the present items, which go only once every
    // copy has succeeded; a failure removes the copies instead.
    const size_t kept = items_.size();
    try {
        for (TCollectionItem* sourceItem : from->items_) MakeItem()->Assign(sourceItem);
    } catch (...) {
        while (items_.size() > kept) delete items_.back();
        EndUpdate();
        throw;
    }
    const std::vector<TCollectionItem*> previous(items_.begin(),
                                                 items_.begin() + static_cast<long>(kept));
    for (TCollectionItem* item : previous) delete item;
    EndUpdate();
}

void TCollection::InsertItem(TCollectionItem* item) {
    items_.push_back(item);
    item->collection_ = this;
    item->id_ = nextID_++;
    Changed();
}

void TCollection::RemoveItem(TCollectionItem* item) {
    items_.erase(std::remove(items_.begin(), items_.end(), item), items_.end());
    item->collection_ = nullptr;
    Changed();
}

void TCollection::CheckIndex(int index, int limit) const {
    if (index < 0 || index > limit) IndexError(index);
}

}  // namespace zr
