// Components: the owner tree and death notices.
//
// Destruction order. C++ runs ~Derived before ~TComponent, so by the time this
// base destructor sends its notices the dying component is only a TComponent:
// its overrides are gone, and a receiver may compare the pointer it is handed
// but must not call into it beyond TComponent. The same holds for an owner
// that frees its components: they are told, and their notices reach the owner,
// after the owner's derived part is gone, so they arrive at TComponent's own
// Notification (which still forwards them to the remaining components). A
// class that must be told or must tell others while still whole calls
// Destroying() at the top of its destructor. Either way closures bound to a
// dying component turn inert before any notice goes out.
#include "framework/Component.h"

#include "framework/Identifiers.h"
#include "framework/SysUtils.h"

#include <algorithm>

namespace zr {

ZR_REGISTER_CLASS(TPersistent, c) {}

ZR_REGISTER_CLASS(TComponent, c) {
    c.Property("Name", &TComponent::Name, &TComponent::SetName).Stored(false);
    c.Property("Tag", &TComponent::Tag, &TComponent::SetTag).Default(0);
}

// ---- TPersistent ------------------------------------------------------------

namespace {

[[noreturn]] void AssignError(const TPersistent* source, const TPersistent* dest) {
    const std::string sourceName = source ? source->ClassName() : "nil";
    throw EConvertError("Cannot assign a " + sourceName + " to a " + dest->ClassName());
}

}  // namespace

void TPersistent::Assign(const TPersistent* source) {
    if (!source) AssignError(nullptr, this);
    source->AssignTo(this);
}

void TPersistent::AssignTo(TPersistent* dest) const {
    AssignError(this, dest);
}

// ---- TComponent ------------------------------------------------------------

namespace {

void Erase(std::vector<TComponent*>& list, TComponent* item) {
    list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

bool Holds(const std::vector<TComponent*>& list, const TComponent* item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

}  // namespace

TComponent::TComponent(TComponent* owner) {
    if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
    Destroying();
    DestroyComponents();
    if (owner_) owner_->RemoveComponent(this);
    // Anyone who asked for a notice while this component was already dying
    // (an owned component's Notification may) is told as well; from here on
    // nobody can ask any more, so nobody is left holding this component.
    deathNotified_ = true;
    NotifyDeath();
}

TPersistent* TComponent::GetOwner() const {
    return owner_;
}

TComponent* TComponent::Components(int index) const {
    if (index < 0 || index >= ComponentCount())
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    return components_[static_cast<size_t>(index)];
}

TComponent* TComponent::FindComponent(const std::string& name) const {
    if (name.empty()) return nullptr;
    for (TComponent* c : components_)
        if (SameText(c->name_, name)) return c;
    return nullptr;
}

void TComponent::InsertComponent(TComponent* component) {
    if (!component || component->owner_ == this) return;
    // An owner inside the component's own tree would free itself.
    for (const TComponent* o = this; o; o = o->owner_)
        if (o == component) throw EComponentError("A component cannot own itself or its owner");
    if (!component->name_.empty() && FindComponent(component->name_))
        throw EComponentError("A component named " + component->name_ + " already exists");
    if (component->owner_) component->owner_->RemoveComponent(component);
    Insert(component);
    if (IsDesigning()) component->SetComponentStateFlag(csDesigning, true);
    Notification(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
    if (!component || component->owner_ != this) return;
    const std::weak_ptr<const void> alive = component->existence_;
    Notification(component, opRemove);
    if (!alive.expired() && component->owner_ == this) Remove(component);
}

void TComponent::DestroyComponents() {
    // The last made goes first; each one leaves the list, with its notices,
    // before it is freed, so no component can be reached or freed twice.
    while (!components_.empty()) {
        TComponent* last = components_.back();
        const std::weak_ptr<const void> alive = last->existence_;
        RemoveComponent(last);
        // A receiver of the notice may have freed it already (its destructor
        // then left this list by itself).
        if (alive.expired()) continue;
        if (last->owner_ == this) Remove(last);
        delete last;
    }
}

void TComponent::SetName(const std::string& name) {
    if (name == name_) return;
    if (!name.empty() && !IsValidIdent(name))
        throw EComponentError("'" + name + "' is not a valid component name");
    if (owner_ && !name.empty()) {
        TComponent* other = owner_->FindComponent(name);
        if (other && other != this)
            throw EComponentError("A component named " + name + " already exists");
    }
    name_ = name;
}

void TComponent::SetComponentStateFlag(TComponentStateFlag flag, bool on) {
    if (on)
        state_.Include(flag);
    else
        state_.Exclude(flag);
    // Design time holds for a whole tree: what a designed component owns is
    // designed too.
    if (flag == csDesigning)
        for (TComponent* c : components_) c->SetComponentStateFlag(csDesigning, on);
}

void TComponent::FreeNotification(TComponent* component) {
    if (!component || component == this) return;
    // Past its last notices a component can promise no more: whoever asks is
    // being told of its death right now.
    if (deathNotified_ || component->deathNotified_) return;
    // Both sides record the link, so whichever dies first tells the other and
    // the survivor forgets it: nobody is left holding a dead component.
    if (!Holds(freeNotifies_, component)) freeNotifies_.push_back(component);
    if (!Holds(component->freeNotifies_, this)) component->freeNotifies_.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* component) {
    if (!component) return;
    Erase(freeNotifies_, component);
    Erase(component->freeNotifies_, this);
}

void TComponent::Loaded() {
    state_.Exclude(csLoading);
}

void TComponent::Notification(TComponent* component, TOperation operation) {
    // Free-notification links are not touched here: a component that only
    // leaves its owner lives on and its watchers still want its death notice,
    // and a dying one unlinks everyone itself (NotifyDeath).
    if (!component) return;
    // Every owned component hears of it too. A receiver may free components:
    // the index is re-clamped after each call, and once the component itself
    // is freed the rest heard of it from its destructor already, so they are
    // not handed a dead pointer again.
    const std::weak_ptr<const void> alive = component->existence_;
    for (int i = ComponentCount() - 1; i >= 0; --i) {
        components_[static_cast<size_t>(i)]->Notification(component, operation);
        if (alive.expired()) return;
        i = std::min(i, ComponentCount());
    }
}

void TComponent::GetChildren(const std::function<void(TComponent*)>& proc, TComponent* root) {
    if (root != this) return;
    // Copied: the callback may add or free components.
    const std::vector<TComponent*> owned = components_;
    for (TComponent* c : owned)
        if (Holds(components_, c)) proc(c);
}

void TComponent::Destroying() {
    if (!state_.Contains(csDestroying)) {
        state_.Include(csDestroying);
        for (TComponent* c : components_) c->MarkDestroying();
    }
    ExpireLiveness();
    NotifyDeath();
}

void TComponent::MarkDestroying() {
    if (state_.Contains(csDestroying)) return;
    state_.Include(csDestroying);
    for (TComponent* c : components_) c->MarkDestroying();
}

void TComponent::NotifyDeath() {
    // Each receiver is taken off both lists before it is told, and the list
    // is searched afresh after every notice: a receiver may free others (who
    // then leave this list themselves) or change links from its Notification.
    // One that asks again is told in the next pass, not in an endless loop
    // here; the last pass, in ~TComponent, accepts no new requests at all.
    std::vector<const TComponent*> told;
    for (;;) {
        auto next =
            std::find_if(freeNotifies_.begin(), freeNotifies_.end(), [&](const TComponent* c) {
                return std::find(told.begin(), told.end(), c) == told.end();
            });
        if (next == freeNotifies_.end()) break;
        TComponent* receiver = *next;
        freeNotifies_.erase(next);
        Erase(receiver->freeNotifies_, this);
        told.push_back(receiver);
        receiver->Notification(this, opRemove);
    }
}

void TComponent::Insert(TComponent* component) {
    components_.push_back(component);
    component->owner_ = this;
}

void TComponent::Remove(TComponent* component) {
    Erase(components_, component);
    component->owner_ = nullptr;
}

}  // namespace zr
