// Persistent objects and components: the owner tree (an owner frees what it
// owns), names, component state and death notices between components.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Object.h"
#include "Set.h"
#include "TypeInfo.h"

namespace zr {

class TPersistent : public TObject {
    ZR_CLASS(TPersistent, TObject)
  public:
    // Copies `source` into this object: asks the source's AssignTo; a source
    // that nobody can copy raises EConvertError "Cannot assign a <source
    // class> to a <target class>" ("nil" for a null source).
    virtual void Assign(const TPersistent* source);
    virtual TPersistent* GetOwner() const { return nullptr; }

  protected:
    virtual void AssignTo(TPersistent* dest) const;
};

enum TComponentStateFlag { csLoading, csReading, csWriting, csDestroying, csDesigning };
ZR_ENUM(TComponentStateFlag, csLoading, csReading, csWriting, csDestroying, csDesigning);
using TComponentState = Set<TComponentStateFlag>;

enum TOperation { opInsert, opRemove };
ZR_ENUM(TOperation, opInsert, opRemove);

class TComponent : public TPersistent {
    ZR_CLASS(TComponent, TPersistent)
  public:
    explicit TComponent(TComponent* owner);
    // Tells everyone who asked (opRemove), frees the owned components (last
    // first), leaves the owner. The derived part is gone by then: receivers
    // see a mere TComponent and closures bound to it are already inert.
    ~TComponent() override;

    TComponent* Owner() const { return owner_; }
    TPersistent* GetOwner() const override;
    int ComponentCount() const { return static_cast<int>(components_.size()); }
    TComponent* Components(int index) const;
    TComponent* FindComponent(const std::string& name) const;  // case-insensitive
    void InsertComponent(TComponent* component);
    void RemoveComponent(TComponent* component);
    void DestroyComponents();

    const std::string& Name() const { return name_; }
    // A valid identifier, unique among the owner's components, or empty;
    // otherwise EComponentError.
    virtual void SetName(const std::string& name);
    int Tag() const { return tag_; }
    void SetTag(int tag) { tag_ = tag; }

    TComponentState ComponentState() const { return state_; }
    // The designer sets csDesigning; the form reader sets csLoading and csReading.
    void SetComponentStateFlag(TComponentStateFlag flag, bool on);
    bool IsLoading() const { return state_.Contains(csLoading); }
    bool IsDesigning() const { return state_.Contains(csDesigning); }

    // `component` will be told (opRemove) before this component dies.
    void FreeNotification(TComponent* component);
    void RemoveFreeNotification(TComponent* component);

    // Called by the form reader after every property of the form is read;
    // clears csLoading. Overrides call the base version first.
    virtual void Loaded();
    // opInsert when a component joins the owner, opRemove before a component
    // that this one was told about dies.
    virtual void Notification(TComponent* component, TOperation operation);

    // Form file structure: which components a writer nests inside this one,
    // and the parent a reader hands a nested component (controls override).
    virtual void GetChildren(const std::function<void(TComponent*)>& proc, TComponent* root);
    virtual bool HasParent() const { return false; }
    virtual TComponent* GetParentComponent() const { return nullptr; }
    virtual void SetParentComponent(TComponent* parent) {}

  protected:
    // Sets csDestroying and tells everyone who asked. Destructors of classes
    // that must notify while still whole call it first; ~TComponent calls it
    // in any case.
    void Destroying();

  private:
    void Insert(TComponent* component);
    void Remove(TComponent* component);
    void NotifyDeath();
    void MarkDestroying();

    TComponent* owner_ = nullptr;
    std::vector<TComponent*> components_;
    std::vector<TComponent*> freeNotifies_;
    std::string name_;
    int tag_ = 0;
    TComponentState state_;
    bool deathNotified_ = false;
    // Expires only when this TComponent is gone for good (unlike Liveness(),
    // which ends as destruction starts), so the owner can tell whether a
    // notice receiver freed a component under its feet.
    std::shared_ptr<const void> existence_ = std::make_shared<int>(0);
};

}  // namespace zr
