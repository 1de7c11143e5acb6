// Ownership, names, notices between components, closures and sets. Run under
// AddressSanitizer too: a component freed twice or a dangling notice target
// shows up there as a hard failure.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "framework/Component.h"

namespace zr {
namespace {

using Log = std::vector<std::string>;

// A component that records what it is told and forgets a watched component
// when told of its death.
class TObjProbe : public TComponent {
    ZR_CLASS(TObjProbe, TComponent)
  public:
    explicit TObjProbe(TComponent* owner, Log* log = nullptr) : TComponent(owner), log_(log) {
        ++alive;
    }
    ~TObjProbe() override {
        --alive;
        if (log_) log_->push_back("free " + Name());
    }

    void Notification(TComponent* component, TOperation operation) override {
        TComponent::Notification(component, operation);
        if (operation == opRemove && component == watched) watched = nullptr;
        if (log_ && component != this)
            log_->push_back(Name() + (operation == opInsert ? " +" : " -") + component->Name());
        if (operation == opRemove && onRemove) onRemove(component);
    }

    void Watch(TComponent* component) {
        if (watched) watched->RemoveFreeNotification(this);
        watched = component;
        if (component) component->FreeNotification(this);
    }

    void Handler(TObject*) { ++calls; }

    static inline int alive = 0;
    TComponent* watched = nullptr;
    int calls = 0;
    std::function<void(TComponent*)> onRemove;

  private:
    Log* log_;
};

ZR_REGISTER_CLASS(TObjProbe, c) {}

TObjProbe* Make(TComponent* owner, const std::string& name, Log* log = nullptr) {
    auto* p = new TObjProbe(owner, log);
    p->SetName(name);
    return p;
}

class ComponentTest : public ::testing::Test {
  protected:
    void SetUp() override { TObjProbe::alive = 0; }
    void TearDown() override { EXPECT_EQ(TObjProbe::alive, 0) << "a component leaked"; }
};

TEST_F(ComponentTest, OwnerFreesWhatItOwnsLastFirstAndFreedOnesLeaveTheList) {
    Log log;
    auto* form = Make(nullptr, "Form", &log);
    auto* a = Make(form, "A", &log);
    auto* b = Make(form, "B", &log);
    Make(b, "Inner", &log);
    ASSERT_EQ(form->ComponentCount(), 2);
    EXPECT_EQ(form->Components(0), a);
    EXPECT_EQ(a->Owner(), form);
    EXPECT_EQ(a->GetOwner(), form);
    EXPECT_THROW(form->Components(2), EListError);

    delete a;
    ASSERT_EQ(form->ComponentCount(), 1);
    EXPECT_EQ(form->Components(0), b);
    EXPECT_EQ(TObjProbe::alive, 3);

    log.clear();
    delete form;
    EXPECT_EQ(TObjProbe::alive, 0);
    // The owner's own record comes first: its derived destructor runs before
    // the base frees what it owns. B is still whole when it leaves, so the
    // notice reaches what B owns.
    EXPECT_EQ(log, (Log{"free Form", "Inner -B", "free B", "free Inner"}));
}

TEST_F(ComponentTest, InsertingMovesBetweenOwnersAndRefusesCycles) {
    TObjProbe first(nullptr), second(nullptr);
    auto* child = Make(&first, "Child");
    auto* grandChild = Make(child, "Grand");

    second.InsertComponent(child);
    EXPECT_EQ(first.ComponentCount(), 0);
    EXPECT_EQ(child->Owner(), &second);

    EXPECT_THROW(grandChild->InsertComponent(child), EComponentError);
    EXPECT_THROW(child->InsertComponent(child), EComponentError);
    EXPECT_EQ(child->Owner(), &second);

    first.SetName("Twin");
    auto* clash = Make(&first, "Child");
    EXPECT_THROW(second.InsertComponent(clash), EComponentError);
    EXPECT_EQ(clash->Owner(), &first) << "a refused insert must leave the component where it was";

    second.RemoveComponent(child);
    EXPECT_EQ(child->Owner(), nullptr);
    delete child;  // owns Grand, which goes with it
}

TEST_F(ComponentTest, NamesAreIdentifiersUniqueAmongTheOwnersComponents) {
    TObjProbe owner(nullptr);
    auto* a = Make(&owner, "Edit1");
    auto* b = Make(&owner, "");

    // Letters of any script make names (newer forms use them); symbols do not.
    for (const char* bad : {"1abc", "a b", "a-b", " a", "\xE2\x82\xAC"}) {
        EXPECT_THROW(b->SetName(bad), EComponentError) << bad;
    }
    b->SetName("\xC3\xA4");
    b->SetName("");
    try {
        b->SetName("EDIT1");
        FAIL() << "a duplicate name was taken";
    } catch (const EComponentError& e) {
        EXPECT_NE(e.Message().find("EDIT1"), std::string::npos) << e.Message();
    }
    EXPECT_EQ(b->Name(), "");

    a->SetName("edit1");  // itself, other case
    EXPECT_EQ(owner.FindComponent("EDIT1"), a);
    EXPECT_EQ(owner.FindComponent(""), nullptr) << "unnamed components are not found by name";
    b->SetName("_second2");
    a->SetName("");
    b->SetName("Edit1");  // free again once a gave it up
    EXPECT_EQ(owner.FindComponent("edit1"), b);
}

TEST_F(ComponentTest, InsertionIsAnnouncedToTheOwnerAndItsComponents) {
    Log log;
    TObjProbe owner(nullptr, &log);
    owner.SetName("Owner");
    auto* first = Make(&owner, "First", &log);
    log.clear();

    auto* second = new TObjProbe(nullptr, &log);
    second->SetName("Second");
    owner.InsertComponent(second);
    EXPECT_EQ(log, (Log{"First +Second", "Owner +Second"}));

    log.clear();
    delete first;
    EXPECT_EQ(log, (Log{"free First", "Second -First", "Owner -First"}));
    log.clear();
}

TEST_F(ComponentTest, FreeNotificationClearsTheWatcherAndEitherSideMayDieFirst) {
    TObjProbe formA(nullptr), formB(nullptr);
    auto* source = Make(&formA, "Source");
    auto* watcher = Make(&formB, "Watcher");
    auto* other = Make(&formB, "Other");

    watcher->Watch(source);
    other->Watch(source);
    delete source;
    EXPECT_EQ(watcher->watched, nullptr);
    EXPECT_EQ(other->watched, nullptr);

    // The watcher dies first: the watched one must forget it, or its death
    // would notify freed memory.
    auto* target = Make(&formA, "Target");
    watcher->Watch(target);
    delete watcher;
    delete target;

    // Mutual watching, freed from either side, and a withdrawn request.
    auto* x = Make(&formA, "X");
    auto* y = Make(&formB, "Y");
    x->Watch(y);
    y->Watch(x);
    delete y;
    EXPECT_EQ(x->watched, nullptr);
    auto* z = Make(&formB, "Z");
    x->Watch(z);
    x->Watch(nullptr);  // withdraws
    TComponent* stale = z;
    x->watched = stale;
    delete z;
    EXPECT_EQ(x->watched, stale) << "a withdrawn request must not be answered";
}

TEST_F(ComponentTest, ReceiversMayFreeComponentsFromTheirNotification) {
    auto* form = Make(nullptr, "Form");
    auto* a = Make(form, "A");
    auto* b = Make(form, "B");
    auto* c = Make(form, "C");
    auto* d = Make(form, "D");
    auto* first = Make(nullptr, "First");
    auto* second = Make(nullptr, "Second");
    first->Watch(c);
    second->Watch(c);
    // B answers the removal of D by freeing D itself before the owner does,
    // and the death of C by freeing A, a sibling the owner has not reached
    // yet; whichever outsider hears first frees the other, which is still
    // waiting for its own notice.
    b->onRemove = [&](TComponent* dying) {
        if (dying == d && d) delete std::exchange(d, nullptr);
        if (dying == c && a) delete std::exchange(a, nullptr);
    };
    auto freeTheOther = [&](TComponent* dying) {
        if (dying != c) return;
        if (first && second) {
            TObjProbe* other = first->watched ? first : second;
            (other == first ? first : second) = nullptr;
            delete other;
        }
    };
    first->onRemove = freeTheOther;
    second->onRemove = freeTheOther;
    delete form;  // ASan: nothing freed twice, no notice to freed memory
    EXPECT_EQ(TObjProbe::alive, 1);
    delete (first ? first : second);
}

TEST_F(ComponentTest, AskingADyingComponentForANoticeAgainEndsAndLeavesNoLink) {
    auto* dying = Make(nullptr, "Dying");
    auto* stubborn = Make(nullptr, "Stubborn");
    stubborn->Watch(dying);
    int notices = 0;
    stubborn->onRemove = [&](TComponent* c) {
        ++notices;
        stubborn->Watch(c);  // asks again while being told
    };
    delete dying;  // must end, and must not leave Dying in Stubborn's links
    EXPECT_GE(notices, 1);
    stubborn->watched = nullptr;
    delete stubborn;  // ASan: would tell the freed Dying otherwise
}

TEST_F(ComponentTest, ComponentsHearOfTheOwnersDeathMarkedAsDestroying) {
    auto* owner = Make(nullptr, "Owner");
    auto* child = Make(owner, "Child");
    auto* watcher = Make(nullptr, "Watcher");
    watcher->Watch(child);
    TComponentState seen;
    watcher->onRemove = [&](TComponent* dying) { seen = dying->ComponentState(); };
    delete owner;
    EXPECT_TRUE(seen.Contains(csDestroying));
    EXPECT_EQ(watcher->watched, nullptr);
    delete watcher;
}

TEST_F(ComponentTest, ClosuresBoundToADyingComponentAreInertWhenOthersHearOfIt) {
    auto* handlerOwner = Make(nullptr, "H");
    auto* watcher = Make(nullptr, "W");
    watcher->Watch(handlerOwner);
    TNotifyEvent event(handlerOwner, &TObjProbe::Handler);
    bool liveDuringNotice = true;
    watcher->onRemove = [&](TComponent*) {
        liveDuringNotice = static_cast<bool>(event);
        event(nullptr);  // would reach a half-destroyed object
    };
    event(nullptr);
    EXPECT_EQ(handlerOwner->calls, 1);
    delete handlerOwner;
    EXPECT_FALSE(liveDuringNotice);
    EXPECT_FALSE(event);
    event(nullptr);  // still a no-op afterwards
    delete watcher;
}

TEST_F(ComponentTest, StateFlagsLoadedAndDesigning) {
    TObjProbe form(nullptr);
    auto* early = Make(&form, "Early");
    form.SetComponentStateFlag(csDesigning, true);
    auto* late = Make(&form, "Late");
    EXPECT_TRUE(early->IsDesigning());
    EXPECT_TRUE(late->IsDesigning()) << "components joining a designed owner are designed";

    late->SetComponentStateFlag(csLoading, true);
    late->SetComponentStateFlag(csReading, true);
    EXPECT_TRUE(late->IsLoading());
    late->Loaded();
    EXPECT_FALSE(late->IsLoading());
    EXPECT_TRUE(late->ComponentState().Contains(csReading));
}

TEST_F(ComponentTest, GetChildrenYieldsOwnedComponentsOnlyForTheRoot) {
    TObjProbe form(nullptr);
    auto* a = Make(&form, "A");
    Make(&form, "B");
    Make(a, "Nested");
    std::vector<std::string> names;
    auto collect = [&](TComponent* c) { names.push_back(c->Name()); };
    form.GetChildren(collect, &form);
    EXPECT_EQ(names, (std::vector<std::string>{"A", "B"}));
    names.clear();
    a->GetChildren(collect, &form);
    EXPECT_TRUE(names.empty());
}

TEST(PersistentTest, AssignWithoutSupportNamesBothClasses) {
    TPersistent target;
    TObjProbe source(nullptr);
    try {
        target.Assign(&source);
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "Cannot assign a TObjProbe to a TPersistent");
    }
    try {
        target.Assign(nullptr);
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "Cannot assign a nil to a TPersistent");
    }
}

TEST(ClosureTest, EqualityFollowsObjectAndMethod) {
    TObjProbe a(nullptr), b(nullptr);
    const TNotifyEvent fromA(&a, &TObjProbe::Handler);
    EXPECT_EQ(fromA, TNotifyEvent(&a, &TObjProbe::Handler));
    EXPECT_NE(fromA, TNotifyEvent(&b, &TObjProbe::Handler));
    EXPECT_EQ(TNotifyEvent(), TNotifyEvent());
    EXPECT_NE(fromA, TNotifyEvent());

    // A handler the object inherits binds through its base.
    struct Kid : TObjProbe {
        using TObjProbe::TObjProbe;
    } kid(nullptr);
    EXPECT_EQ(TNotifyEvent(&kid, &TObjProbe::Handler),
              TNotifyEvent(static_cast<TObjProbe*>(&kid), &TObjProbe::Handler));
    TNotifyEvent(&kid, &TObjProbe::Handler)(nullptr);
    EXPECT_EQ(kid.calls, 1);

    int calls = 0;
    auto fn = TNotifyEvent::FromFunction([&](TObject*) { ++calls; });
    auto copy = fn;
    EXPECT_EQ(fn, copy);
    EXPECT_NE(fn, TNotifyEvent::FromFunction([&](TObject*) { ++calls; }));
    copy(nullptr);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(fn);
}

TEST(ClosureTest, InertOnceTheBoundObjectIsGone) {
    auto* probe = new TObjProbe(nullptr);
    TNotifyEvent event(probe, &TObjProbe::Handler);
    const TNotifyEvent saved = event;
    event(probe);
    EXPECT_EQ(probe->calls, 1);
    delete probe;
    EXPECT_FALSE(event);
    event(nullptr);
    saved(nullptr);
}

TEST(SetTest, MaskRoundTripsInEnumerationOrder) {
    const TComponentState state{csLoading, csDestroying};
    EXPECT_EQ(state.Mask(), 0b01001u);
    EXPECT_EQ(TComponentState::FromMask(state.Mask()), state);
    TComponentState s = TComponentState::FromMask(0b10110);
    EXPECT_TRUE(s.Contains(csReading) && s.Contains(csWriting) && s.Contains(csDesigning));
    EXPECT_FALSE(s.Contains(csLoading));
    s.Exclude(csWriting).Include(csLoading);
    EXPECT_EQ(s.Mask(), 0b10011u);
    EXPECT_EQ((s - TComponentState{csLoading}) + TComponentState{csWriting},
              TComponentState::FromMask(0b10110));
    EXPECT_EQ((s * TComponentState{csReading, csDestroying}).Mask(), 0b00010u);
    EXPECT_TRUE(TComponentState().Empty());
}

}  // namespace
}  // namespace zr
