#include "tools/zrdoc/ReferenceTables.h"

#include <algorithm>
#include <memory>

#include "framework/Component.h"
#include "framework/SysUtils.h"

namespace zr::doc {

namespace {

// Text in a table cell: a code span that shows line breaks as escapes and
// keeps a bar from ending the cell.
std::string Code(const std::string& text) {
    std::string out = "`";
    for (char c : text) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '|')
            out += "\\|";
        else
            out += c;
    }
    return out + "`";
}

std::string SetText(const TEnumInfo* names, std::uint64_t mask) {
    std::string text = "[";
    for (int bit = 0; bit < 64; ++bit) {
        if (!(mask & (std::uint64_t{1} << bit))) continue;
        if (text.size() > 1) text += ", ";
        text += names ? GetEnumName(*names, bit) : std::to_string(bit);
    }
    return text + "]";
}

std::string TypeText(const TPropInfo& prop) {
    switch (prop.Kind) {
        case tkInteger:
            return "integer";
        case tkFloat:
            return prop.FloatType == TFloatType::DateTime   ? "TDateTime"
                   : prop.FloatType == TFloatType::Currency ? "Currency"
                   : prop.FloatType == TFloatType::Single   ? "Single"
                                                            : "Double";
        case tkString:
            return "string";
        case tkEnumeration:
            return prop.EnumType ? prop.EnumType->Name : "enumeration";
        case tkSet:
            return "set of " + (prop.EnumType ? prop.EnumType->Name : std::string("?"));
        case tkClass:
            return prop.ClassType ? prop.ClassType->Name : "object";
        case tkStrings:
            return "TStrings";
        case tkBinary:
            return "bytes";
        default:
            return "?";
    }
}

std::string IntegerText(const TPropInfo& prop, std::int64_t number) {
    const char* name = prop.IntegerName ? prop.IntegerName(number) : nullptr;
    return name ? name : std::to_string(number);
}

// What a property of a component just made holds, for one that declares
// no default; empty where the value says nothing on a page (an object).
std::string StartingText(const TPropInfo& prop, const TObject* instance) {
    if (instance == nullptr) return {};
    switch (prop.Kind) {
        case tkInteger:
            return Code(IntegerText(prop, prop.GetOrd(instance)));
        case tkEnumeration:
            return prop.EnumType
                       ? Code(GetEnumName(*prop.EnumType, static_cast<int>(prop.GetOrd(instance))))
                       : std::string();
        case tkSet:
            return Code(SetText(prop.EnumType, static_cast<std::uint64_t>(prop.GetOrd(instance))));
        case tkString:
            return Code("'" + prop.GetStr(instance) + "'");
        case tkFloat:
            return Code(FloatToStr(prop.GetFloat(instance)));
        default:
            return {};
    }
}

std::string DefaultText(const TPropInfo& prop, const TObject* instance) {
    if (const auto* number = std::get_if<std::int64_t>(&prop.Default)) {
        if (prop.Kind == tkEnumeration && prop.EnumType)
            return Code(GetEnumName(*prop.EnumType, *number));
        if (prop.Kind == tkInteger && prop.IntegerName) return Code(IntegerText(prop, *number));
        if (prop.Kind == tkSet) {
            const auto mask = static_cast<std::uint64_t>(*number);
            const size_t count = prop.EnumType ? prop.EnumType->Names.size() : 0;
            // A long list of every value reads worse than saying so.
            if (count > 3 && count < 64 && mask == (std::uint64_t{1} << count) - 1)
                return "every value (" + std::to_string(*number) + ")";
            return Code(SetText(prop.EnumType, mask)) + " (" + std::to_string(*number) + ")";
        }
        return Code(std::to_string(*number));
    }
    if (const auto* real = std::get_if<double>(&prop.Default)) return Code(FloatToStr(*real));
    if (const auto* text = std::get_if<std::string>(&prop.Default)) return Code("'" + *text + "'");
    const std::string starts = StartingText(prop, instance);
    return starts.empty() ? "none, always stored" : "none, always stored; starts " + starts;
}

// A component of `cls` as the designer makes it (it starts nothing), whose
// properties tell the starting values; null for what is no component.
std::unique_ptr<TComponent> DesignedInstance(const TClassInfo& cls) {
    if (!cls.CreateComponent) return nullptr;
    auto designer = std::make_unique<TComponent>(nullptr);
    designer->SetComponentStateFlag(csDesigning, true);
    cls.CreateComponent(designer.get());
    return designer;
}

// The class that publishes `prop` first, walking up from `cls`.
std::string DeclaringClass(const TClassInfo& cls, const TPropInfo& prop) {
    const TClassInfo* declaring = &cls;
    for (const TClassInfo* c = &cls; c != nullptr; c = c->Parent)
        for (const TPropInfo& own : c->Properties)
            if (&own == &prop) declaring = c;
    return declaring->Name;
}

// An owned sub-object (SendTo) is set through its own properties, so they
// are listed under its name; a component reference (DataSource) is one value.
bool ListsSubProperties(const TPropInfo& prop) {
    return prop.Kind == tkClass && prop.ClassType != nullptr &&
           !prop.ClassType->InheritsFrom(TComponent::StaticClassInfo()) &&
           !prop.ClassType->AllProperties().empty();
}

// `cls` and the classes it derives from, most derived first.
std::vector<std::string> Lineage(const TClassInfo& cls) {
    std::vector<std::string> names;
    for (const TClassInfo* c = &cls; c != nullptr; c = c->Parent) names.push_back(c->Name);
    return names;
}

// "(TObject* Sender, long ResidentKb)": the types from the type information,
// each followed by the name its declaration gives it.
std::string HandlerParams(const TPropInfo& prop, const std::vector<std::string>& names) {
    std::string params;
    for (size_t i = 0; i < prop.EventParams.size(); ++i) {
        params += (i == 0 ? "" : ", ") + prop.EventParams[i];
        if (names.size() == prop.EventParams.size() && !names[i].empty()) params += " " + names[i];
    }
    return "(" + params + ")";
}

struct Tables {
    const THeaderText& headers;
    std::string properties;
    std::string events;
    std::vector<const TEnumInfo*> enums;

    void NoteEnum(const TPropInfo& prop) {
        if ((prop.Kind == tkEnumeration || prop.Kind == tkSet) && prop.EnumType &&
            prop.EnumType->Name != "Boolean" &&
            std::find(enums.begin(), enums.end(), prop.EnumType) == enums.end())
            enums.push_back(prop.EnumType);
    }

    void Add(const TClassInfo& cls, const std::string& prefix, const TObject* instance) {
        for (const TPropInfo* prop : cls.AllProperties()) {
            const std::string name = prefix + prop->Name;
            const std::string declaredBy = DeclaringClass(cls, *prop);
            if (prop->Kind == tkMethod) {
                const auto names = headers.EventParamNames(Lineage(cls), prop->Name);
                events += "| " + name + " | " + Code(HandlerParams(*prop, names)) + " | " +
                          declaredBy + " |\n";
                continue;
            }
            NoteEnum(*prop);
            properties += "| " + name + " | " + TypeText(*prop) + " | " +
                          DefaultText(*prop, instance) + " | " + declaredBy + " |\n";
            // An inherited sub-object's properties are listed on the page of
            // the class that publishes it (SendTo on the log base's page).
            const bool ownProperty = !prefix.empty() || declaredBy == cls.Name;
            if (ownProperty && ListsSubProperties(*prop))
                Add(*prop->ClassType, name + ".", instance ? prop->GetObject(instance) : nullptr);
        }
    }

    std::string Text(const std::string& heading) const {
        std::string text = "## " + heading + ": published properties\n\n";
        text += properties.empty() ? "None.\n"
                                   : "| Property | Type | Default | Published by |\n"
                                     "|---|---|---|---|\n" +
                                         properties;
        text += "\n## " + heading + ": events\n\n";
        text += events.empty() ? "None.\n"
                               : "| Event | Handler's parameters | Published by |\n"
                                 "|---|---|---|\n" +
                                     events;
        return text;
    }
};

}  // namespace

std::string ReferenceTables(const TClassInfo& cls,
                            const std::vector<const TClassInfo*>& alsoClasses,
                            const THeaderText& headers, bool startingValues) {
    std::vector<const TEnumInfo*> enums;
    std::string text;
    for (const TClassInfo* one : [&] {
             std::vector<const TClassInfo*> all{&cls};
             all.insert(all.end(), alsoClasses.begin(), alsoClasses.end());
             return all;
         }()) {
        Tables tables{headers, {}, {}, {}};
        tables.enums = enums;
        const std::unique_ptr<TComponent> designer =
            startingValues ? DesignedInstance(*one) : nullptr;
        tables.Add(*one, "", designer ? designer->Components(0) : nullptr);
        enums = tables.enums;
        text += (text.empty() ? "" : "\n") + tables.Text(one->Name);
    }
    if (!enums.empty()) {
        text += "\n## Value names\n\nIn order; a set's mask has bit 0 for the first.\n\n";
        for (const TEnumInfo* names : enums) {
            std::string list;
            for (const std::string& name : names->Names) list += (list.empty() ? "" : ", ") + name;
            text += "- " + names->Name + ": " + list + "\n";
        }
    }
    return text;
}

std::string MemberList(const std::string& className, const THeaderText& headers) {
    std::string text = "## " + className + ": public members\n\n";
    for (const THeaderMember& member : headers.PublicMembers(className)) {
        text += "- " + Code(member.Declaration) + "\n";
        if (!member.Comment.empty()) text += "  " + member.Comment + "\n";
    }
    return text;
}

}  // namespace zr::doc
