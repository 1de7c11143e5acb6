#include "framework/FormReader.h"

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "framework/Collection.h"
#include "framework/FormConsts.h"
#include "framework/FormParser.h"
#include "framework/SysUtils.h"

namespace zr {

namespace {

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t dot; (dot = path.find('.', start)) != std::string::npos; start = dot + 1)
        parts.push_back(path.substr(start, dot - start));
    parts.push_back(path.substr(start));
    return parts;
}

std::string OnLine(int line) {
    return " on line " + std::to_string(line);
}

// Where a property value goes: the object that holds the property, after
// walking a dotted path through sub-objects.
struct PropTarget {
    TObject* Instance;
    const TPropInfo* Prop;
};

class FormReader {
  public:
    explicit FormReader(TComponent* root) : root_(root) {}

    // Reads `tree` into the root; the root's own csLoading/csReading are set
    // here, its name and class are the caller's business.
    void Read(const TFormObject& tree) {
        fileRootName_ = tree.Name;
        BeginLoading(root_);
        const std::string context = tree.Name.empty() ? tree.ClassName : tree.Name;
        try {
            ReadProperties(root_, tree.Properties, context);
            ReadChildren(root_, tree.Children);
        } catch (Exception& e) {
            Annotate(e, context, tree.Line);
            throw;
        }
        root_->SetComponentStateFlag(csReading, false);
        ResolveReferences();
        CallLoaded();
    }

    // Frees what the read made, the last made first (a parent may free its
    // children itself, so each one is checked for life before it goes), and
    // takes the loading state off the survivors.
    void Abandon() noexcept {
        for (auto it = created_.rbegin(); it != created_.rend(); ++it)
            if (!it->second.expired()) delete it->first;
        for (const auto& [component, alive] : loaded_) {
            if (alive.expired()) continue;
            component->SetComponentStateFlag(csReading, false);
            component->SetComponentStateFlag(csLoading, false);
        }
    }

    // Adds where the failure happened to a message, once: the innermost
    // handler knows the most.
    void Annotate(Exception& e, const std::string& context, int line) {
        if (annotated_) return;
        annotated_ = true;
        std::string message =
            context.empty() ? e.Message() : "Error reading " + context + ": " + e.Message();
        e.SetMessage(message + OnLine(line));
    }

  private:
    struct Reference {
        TObject* Instance;
        std::weak_ptr<const void> Alive;
        const TPropInfo* Prop;
        std::string Name;
        std::string Context;
        int Line;
    };

    [[noreturn]] void Fail(const std::string& what, const std::string& context, int line) {
        EReadError e(what);
        Annotate(e, context, line);
        throw e;
    }

    void BeginLoading(TComponent* component) {
        component->SetComponentStateFlag(csLoading, true);
        component->SetComponentStateFlag(csReading, true);
        for (const auto& entry : loaded_)
            if (entry.first == component) return;
        loaded_.emplace_back(component, component->Liveness());
    }

    // ---- objects -----------------------------------------------------------

    void ReadChildren(TComponent* parent, const std::vector<TFormObject>& nodes) {
        for (const TFormObject& node : nodes) ReadChild(parent, node);
    }

    void ReadChild(TComponent* parent, const TFormObject& node) {
        const std::string context = node.Name.empty() ? node.ClassName : node.Name;
        try {
            TComponent* component = nullptr;
            if (node.Kind == TFormObject::foInherited) {
                component = FindInherited(node);
                BeginLoading(component);
            } else {
                component = Create(node);
                BeginLoading(component);
                component->SetName(node.Name);
                component->SetParentComponent(parent);
            }
            ReadProperties(component, node.Properties, context);
            ReadChildren(component, node.Children);
            component->SetComponentStateFlag(csReading, false);
        } catch (Exception& e) {
            Annotate(e, context, node.Line);
            throw;
        }
    }

    TComponent* Create(const TFormObject& node) {
        const TClassInfo* cls = GetClass(node.ClassName);
        if (!cls) {
            EClassNotFound e("Class " + node.ClassName + " not found");
            Annotate(e, "", node.Line);
            throw e;
        }
        if (!cls->CreateComponent)
            Fail("Cannot create an object of class " + cls->Name, "", node.Line);
        TComponent* component = cls->CreateComponent(root_);
        created_.emplace_back(component, component->Liveness());
        return component;
    }

    // An `inherited` object was made by the ancestor's form: it is already
    // one of the root's components.
    TComponent* FindInherited(const TFormObject& node) {
        TComponent* component = root_->FindComponent(node.Name);
        if (!component) Fail("Ancestor for '" + node.Name + "' not found", "", node.Line);
        if (!SameText(component->ClassName(), node.ClassName) &&
            !component->InheritsFrom(FindClassOrFail(node)))
            Fail(node.Name + " is a " + component->ClassName() + ", not a " + node.ClassName, "",
                 node.Line);
        return component;
    }

    const TClassInfo& FindClassOrFail(const TFormObject& node) {
        const TClassInfo* cls = GetClass(node.ClassName);
        if (!cls) {
            EClassNotFound e("Class " + node.ClassName + " not found");
            Annotate(e, "", node.Line);
            throw e;
        }
        return *cls;
    }

    // ---- properties --------------------------------------------------------

    void ReadProperties(TObject* instance, const std::vector<TFormProperty>& props,
                        const std::string& owner) {
        for (const TFormProperty& p : props) {
            const std::string context = owner + "." + p.Name;
            try {
                const PropTarget target = ResolvePath(instance, p, context);
                Assign(target, p.Value, context);
            } catch (Exception& e) {
                Annotate(e, context, p.Line);
                throw;
            }
        }
    }

    // Walks `Font.Style` through sub-objects. `Lines.Strings` also names a
    // list of lines published directly as `Lines`.
    PropTarget ResolvePath(TObject* instance, const TFormProperty& p, const std::string& context) {
        const std::vector<std::string> parts = SplitPath(p.Name);
        TObject* obj = instance;
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            const TPropInfo* prop = FindProp(obj, parts[i], context, p.Line);
            if (prop->Kind == tkStrings && i + 2 == parts.size() &&
                SameText(parts.back(), "Strings"))
                return {obj, prop};
            TObject* sub =
                prop->Kind == tkClass && prop->GetObject ? prop->GetObject(obj) : nullptr;
            // Another component is reached by reference; its properties are
            // its own form's business.
            if (!sub || dynamic_cast<TComponent*>(sub))
                Fail("Invalid property path", context, p.Line);
            obj = sub;
        }
        return {obj, FindProp(obj, parts.back(), context, p.Line)};
    }

    const TPropInfo* FindProp(TObject* obj, const std::string& name, const std::string& context,
                              int line) {
        const TPropInfo* prop = obj->ClassInfo().FindProperty(name);
        if (!prop) Fail("Property " + name + " does not exist", context, line);
        return prop;
    }

    [[noreturn]] void BadValue(const TFormValue& v, const std::string& context) {
        Fail("Invalid property value", context, v.Line);
    }

    [[noreturn]] void ReadOnly(const TPropInfo& prop, const TFormValue& v,
                               const std::string& context) {
        Fail("Property " + prop.Name + " is read-only", context, v.Line);
    }

    void Assign(const PropTarget& t, const TFormValue& v, const std::string& context) {
        switch (t.Prop->Kind) {
            case tkInteger:
                return AssignInteger(t, v, context);
            case tkFloat:
                return AssignFloat(t, v, context);
            case tkString:
                if (v.Type != TFormValue::fvString) BadValue(v, context);
                if (!t.Prop->SetStr) ReadOnly(*t.Prop, v, context);
                return t.Prop->SetStr(t.Instance, v.Text);
            case tkEnumeration:
                return AssignEnum(t, v, context);
            case tkSet:
                return AssignSet(t, v, context);
            case tkClass:
                return AssignObject(t, v, context);
            case tkMethod:
                if (v.Type != TFormValue::fvIdent) BadValue(v, context);
                if (!t.Prop->SetMethodByName) ReadOnly(*t.Prop, v, context);
                return t.Prop->SetMethodByName(t.Instance, root_, v.Text);
            case tkStrings:
                return AssignLines(t, v, context);
            case tkBinary:
                if (v.Type != TFormValue::fvBinary) BadValue(v, context);
                if (!t.Prop->SetBytes) ReadOnly(*t.Prop, v, context);
                return t.Prop->SetBytes(t.Instance, v.Bytes);
            case tkUnknown:
                break;
        }
        BadValue(v, context);
    }

    void AssignInteger(const PropTarget& t, const TFormValue& v, const std::string& context) {
        std::int64_t value = v.Integer;
        if (v.Type == TFormValue::fvIdent) {
            const auto named = IdentToInteger(*t.Prop, v.Text);
            if (!named) BadValue(v, context);
            value = *named;
        } else if (v.Type != TFormValue::fvInteger) {
            BadValue(v, context);
        }
        if (!t.Prop->SetOrd) ReadOnly(*t.Prop, v, context);
        t.Prop->SetOrd(t.Instance, value);
    }

    void AssignFloat(const PropTarget& t, const TFormValue& v, const std::string& context) {
        double value = v.Float;
        if (v.Type == TFormValue::fvInteger) {
            value = static_cast<double>(v.Integer);
        } else if (v.Type == TFormValue::fvIdent) {
            // The writer's names for the values that have no digits.
            if (SameText(v.Text, "NaN"))
                value = std::numeric_limits<double>::quiet_NaN();
            else if (SameText(v.Text, "Inf"))
                value = std::numeric_limits<double>::infinity();
            else if (SameText(v.Text, "-Inf"))
                value = -std::numeric_limits<double>::infinity();
            else
                BadValue(v, context);
        } else if (v.Type != TFormValue::fvFloat) {
            BadValue(v, context);
        }
        if (!t.Prop->SetFloat) ReadOnly(*t.Prop, v, context);
        t.Prop->SetFloat(t.Instance, value);
    }

    void AssignEnum(const PropTarget& t, const TFormValue& v, const std::string& context) {
        if (v.Type != TFormValue::fvIdent || !t.Prop->EnumType) BadValue(v, context);
        const std::int64_t value = GetEnumValue(*t.Prop->EnumType, v.Text);
        if (value < 0) BadValue(v, context);
        if (!t.Prop->SetOrd) ReadOnly(*t.Prop, v, context);
        t.Prop->SetOrd(t.Instance, value);
    }

    void AssignSet(const PropTarget& t, const TFormValue& v, const std::string& context) {
        if (v.Type != TFormValue::fvSet || !t.Prop->EnumType) BadValue(v, context);
        std::uint64_t mask = 0;
        for (const std::string& name : v.Names) {
            const std::int64_t bit = GetEnumValue(*t.Prop->EnumType, name);
            if (bit < 0 || bit >= 64) BadValue(v, context);
            mask |= std::uint64_t{1} << bit;
        }
        if (!t.Prop->SetOrd) ReadOnly(*t.Prop, v, context);
        t.Prop->SetOrd(t.Instance, static_cast<std::int64_t>(mask));
    }

    void AssignLines(const PropTarget& t, const TFormValue& v, const std::string& context) {
        if (v.Type != TFormValue::fvList) BadValue(v, context);
        std::vector<std::string> lines;
        lines.reserve(v.Items.size());
        for (const TFormValue& item : v.Items) {
            if (item.Type != TFormValue::fvString) BadValue(item, context);
            lines.push_back(item.Text);
        }
        if (!t.Prop->SetLines) ReadOnly(*t.Prop, v, context);
        t.Prop->SetLines(t.Instance, lines);
    }

    // A name refers to a component (set once all exist), `nil` to none, and
    // `< item ... >` fills the collection the property holds.
    void AssignObject(const PropTarget& t, const TFormValue& v, const std::string& context) {
        if (v.Type == TFormValue::fvCollection) return ReadCollection(t, v, context);
        if (v.Type != TFormValue::fvIdent) BadValue(v, context);
        if (!t.Prop->SetObject) ReadOnly(*t.Prop, v, context);
        if (SameText(v.Text, "nil")) return t.Prop->SetObject(t.Instance, nullptr);
        references_.push_back(
            {t.Instance, t.Instance->Liveness(), t.Prop, v.Text, context, v.Line});
    }

    void ReadCollection(const PropTarget& t, const TFormValue& v, const std::string& context) {
        TObject* obj = t.Prop->GetObject ? t.Prop->GetObject(t.Instance) : nullptr;
        auto* collection = dynamic_cast<TCollection*>(obj);
        if (!collection) BadValue(v, context);
        // One change notice for the whole list, even when an item fails.
        struct UpdateScope {
            TCollection* c;
            ~UpdateScope() { c->EndUpdate(); }
        };
        collection->BeginUpdate();
        UpdateScope scope{collection};
        collection->Clear();
        for (size_t i = 0; i < v.Elements.size(); ++i) {
            const TFormItem& element = v.Elements[i];
            const std::string itemContext = context + "[" + std::to_string(i) + "]";
            TCollectionItem* item = nullptr;
            try {
                item = collection->Add();
            } catch (Exception& e) {
                Annotate(e, itemContext, element.Line);
                throw;
            }
            ReadProperties(item, element.Properties, itemContext);
        }
    }

    // ---- after the last object -------------------------------------------

    // The form itself, a component of the form's own, or (written as
    // "Form2.Edit1") a component of another form that the same owner holds.
    // The form's name comes first, as the file gives it (the form itself may
    // have been renamed to stay unique); a component that shares it is
    // written as "Form1.Form1".
    TComponent* FindReference(const std::string& name) const {
        const std::vector<std::string> parts = SplitPath(name);
        const bool form = SameText(parts[0], root_->Name()) || SameText(parts[0], fileRootName_);
        TComponent* found = form ? root_ : root_->FindComponent(parts[0]);
        for (TComponent* o = root_->Owner(); !found && o; o = o->Owner())
            found = o->FindComponent(parts[0]);
        for (size_t i = 1; found && i < parts.size(); ++i) found = found->FindComponent(parts[i]);
        return found;
    }

    void ResolveReferences() {
        for (const Reference& r : references_) {
            // A later assignment may have replaced the object that held the
            // property (a collection read twice): nothing left to set.
            if (r.Alive.expired()) continue;
            TComponent* target = FindReference(r.Name);
            if (!target) Fail("Component " + r.Name + " not found", r.Context, r.Line);
            try {
                r.Prop->SetObject(r.Instance, target);
            } catch (Exception& e) {
                Annotate(e, r.Context, r.Line);
                throw;
            }
        }
    }

    void CallLoaded() {
        for (const auto& [component, alive] : loaded_) {
            if (alive.expired()) continue;
            component->Loaded();
            // An override that forgets the base call must not leave the
            // component loading for ever.
            if (!alive.expired()) component->SetComponentStateFlag(csLoading, false);
        }
    }

    TComponent* root_;
    std::vector<std::pair<TComponent*, std::weak_ptr<const void>>> created_;
    std::vector<std::pair<TComponent*, std::weak_ptr<const void>>> loaded_;
    std::vector<Reference> references_;
    std::string fileRootName_;
    bool annotated_ = false;
};

// "Name", or "Name_1", "Name_2", ... when the owner already holds a Name.
std::string UniqueRootName(const TComponent* root, const std::string& name) {
    const TComponent* owner = root->Owner();
    auto taken = [&](const std::string& candidate) {
        const TComponent* other = owner ? owner->FindComponent(candidate) : nullptr;
        return other && other != root;
    };
    if (!taken(name)) return name;
    for (int i = 1;; ++i) {
        std::string candidate = name + "_" + std::to_string(i);
        if (!taken(candidate)) return candidate;
    }
}

void NameRoot(TComponent* root, const TFormObject& tree) {
    if (tree.Name.empty()) return;  // an unnamed file keeps the root's name
    try {
        root->SetName(UniqueRootName(root, tree.Name));
    } catch (Exception& e) {
        e.SetMessage("Error reading " + tree.Name + ": " + e.Message() + OnLine(tree.Line));
        throw;
    }
}

void ReadRoot(TComponent* root, const TFormObject& tree) {
    FormReader reader(root);
    try {
        NameRoot(root, tree);
        reader.Read(tree);
    } catch (...) {
        reader.Abandon();
        throw;
    }
}

}  // namespace

TComponent* ReadComponentFromText(const std::string& text, TComponent* owner) {
    const TFormObject tree = ParseForm(text);
    const TClassInfo* cls = GetClass(tree.ClassName);
    if (!cls) throw EClassNotFound("Class " + tree.ClassName + " not found" + OnLine(tree.Line));
    if (!cls->CreateComponent)
        throw EReadError("Cannot create an object of class " + cls->Name + OnLine(tree.Line));
    std::unique_ptr<TComponent> root(cls->CreateComponent(owner));
    ReadRoot(root.get(), tree);
    return root.release();
}

void ReadComponentInto(TComponent* root, const std::string& text) {
    if (!root) throw EReadError("No component to read the form into");
    const TFormObject tree = ParseForm(text);
    bool matches = false;
    for (const TClassInfo* c = &root->ClassInfo(); c && !matches; c = c->Parent)
        matches = SameText(c->Name, tree.ClassName);
    if (!matches)
        throw EReadError("Cannot read a " + tree.ClassName + " into a " + root->ClassName() +
                         OnLine(tree.Line));
    ReadRoot(root, tree);
}

}  // namespace zr
