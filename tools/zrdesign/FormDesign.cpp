#include "tools/zrdesign/FormDesign.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "framework/FormReader.h"
#include "framework/FormWriter.h"
#include "framework/Forms.h"
#include "framework/SysUtils.h"
#include "framework/TypeInfo.h"

namespace zr::design {

namespace {

std::string ReadFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw EFOpenError("Cannot open file \"" + file + "\"");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WriteAll(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Writes `text` to a new file beside `file` and renames it over `file`, so that
// a save that fails halfway (a full disk, a file-size limit) leaves the form
// as it was. The new file keeps the old one's permissions; a new form is
// its user's alone.
bool WriteFileBesideAndRename(const std::string& file, const std::string& text) {
    std::string temporary = file + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) return false;
    struct stat old;
    bool written = (::stat(file.c_str(), &old) != 0 || ::fchmod(fd, old.st_mode & 07777) == 0) &&
                   WriteAll(fd, text) && ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (written && ::rename(temporary.c_str(), file.c_str()) == 0) return true;
    ::unlink(temporary.c_str());
    return false;
}

// "T" dropped from the class name, then the first free number.
std::string DesignerName(const TComponent& form, const std::string& className) {
    const std::string stem = className.size() > 1 && (className[0] == 'T' || className[0] == 't')
                                 ? className.substr(1)
                                 : className;
    for (int n = 1;; ++n)
        if (form.FindComponent(stem + std::to_string(n)) == nullptr)
            return stem + std::to_string(n);
}

std::vector<std::string> SetNames(const std::string& value) {
    std::string inner = Trim(value);
    if (!inner.empty() && inner.front() == '[') inner.erase(0, 1);
    if (!inner.empty() && inner.back() == ']') inner.pop_back();
    std::vector<std::string> names;
    std::stringstream parts(inner);
    for (std::string name; std::getline(parts, name, ',');)
        if (!Trim(name).empty()) names.push_back(Trim(name));
    return names;
}

std::int64_t EnumValue(const TPropInfo& prop, const std::string& name) {
    const std::int64_t value = prop.EnumType ? GetEnumValue(*prop.EnumType, Trim(name)) : -1;
    if (value < 0) throw EConvertError("'" + name + "' is no value of property " + prop.Name);
    return value;
}

void SetValue(TComponent& owner, TObject& object, const TPropInfo& prop, const std::string& value) {
    switch (prop.Kind) {
        case tkString:
            return SetStrProp(&object, prop.Name, value);
        case tkInteger:
            return SetOrdProp(&object, prop.Name, StrToInt64(value));
        case tkFloat:
            return SetFloatProp(&object, prop.Name, StrToFloat(value));
        case tkEnumeration:
            return SetOrdProp(&object, prop.Name, EnumValue(prop, value));
        case tkSet: {
            std::uint64_t mask = 0;
            for (const std::string& name : SetNames(value))
                mask |= std::uint64_t{1} << EnumValue(prop, name);
            return SetOrdProp(&object, prop.Name, static_cast<std::int64_t>(mask));
        }
        case tkClass: {
            TComponent* target = value.empty() ? nullptr : owner.Owner()->FindComponent(value);
            if (!value.empty() && target == nullptr)
                throw EComponentError("No component named " + value + " on the form");
            return SetObjectProp(&object, prop.Name, target);
        }
        case tkStrings: {
            if (!prop.SetLines) break;
            std::vector<std::string> lines;
            std::stringstream parts(value);
            for (std::string line; std::getline(parts, line);) lines.push_back(line);
            return prop.SetLines(&object, lines);
        }
        default:
            break;
    }
    throw EPropReadOnly("Property " + prop.Name + " cannot be set in the designer");
}

std::string SetText(const TPropInfo& prop, std::uint64_t mask) {
    std::string text = "[";
    for (int bit = 0; bit < 64; ++bit) {
        if (!(mask & (std::uint64_t{1} << bit))) continue;
        if (text.size() > 1) text += ", ";
        text += prop.EnumType ? GetEnumName(*prop.EnumType, bit) : std::to_string(bit);
    }
    return text + "]";
}

std::string OrdinalText(const TPropInfo& prop, std::int64_t value) {
    if (prop.Kind == tkEnumeration && prop.EnumType) return GetEnumName(*prop.EnumType, value);
    if (prop.Kind == tkSet) return SetText(prop, static_cast<std::uint64_t>(value));
    return std::to_string(value);
}

std::string DefaultText(const TPropInfo& prop) {
    if (const auto* number = std::get_if<std::int64_t>(&prop.Default))
        return OrdinalText(prop, *number);
    if (const auto* real = std::get_if<double>(&prop.Default)) return FloatToStr(*real);
    if (const auto* text = std::get_if<std::string>(&prop.Default)) return "'" + *text + "'";
    return "";
}

std::string ValueText(const TObject& object, const TPropInfo& prop) {
    switch (prop.Kind) {
        case tkString:
            return "'" + prop.GetStr(&object) + "'";
        case tkInteger:
        case tkEnumeration:
        case tkSet:
            return prop.GetOrd ? OrdinalText(prop, prop.GetOrd(&object)) : "";
        case tkFloat:
            return prop.GetFloat ? FloatToStr(prop.GetFloat(&object)) : "";
        case tkMethod:
            return prop.GetMethodName ? prop.GetMethodName(&object) : "";
        case tkStrings:
            return prop.GetLines ? "(" + std::to_string(prop.GetLines(&object).size()) + " lines)"
                                 : "";
        default:
            return "";
    }
}

}  // namespace

TDesignSession::TDesignSession() : designer_(std::make_unique<TComponent>(nullptr)) {
    designer_->SetComponentStateFlag(csDesigning, true);
}

TComponent& TDesignSession::OpenForm(const std::string& file) {
    if (FileExists(file)) {
        form_ = ReadComponentFromText(ReadFile(file), designer_.get());
    } else {
        form_ = new TForm(designer_.get());
        form_->SetName("Form1");
    }
    return *form_;
}

void TDesignSession::SaveForm(const std::string& file) const {
    const std::string text = WriteComponentToText(&Form());
    if (!WriteFileBesideAndRename(file, text))
        throw EFCreateError("Cannot create file \"" + file + "\"");
}

TComponent& TDesignSession::Form() const {
    if (form_ == nullptr) throw EComponentError("No form is open");
    return *form_;
}

TComponent* PlaceComponent(TComponent& form, const std::string& className,
                           const std::string& name) {
    const TClassInfo& cls = FindClass(className);
    if (!cls.CreateComponent) throw EComponentError(className + " is no component");
    TComponent* component = cls.CreateComponent(&form);
    try {
        component->SetName(name.empty() ? DesignerName(form, cls.Name) : name);
    } catch (...) {
        delete component;
        throw;
    }
    return component;
}

void SetProperty(TComponent& component, const std::string& path, const std::string& value) {
    TObject* object = &component;
    std::string rest = path;
    for (size_t dot; (dot = rest.find('.')) != std::string::npos; rest.erase(0, dot + 1)) {
        object = GetObjectProp(object, rest.substr(0, dot));
        if (object == nullptr) throw EComponentError("Property " + path + " does not exist");
    }
    const TPropInfo* prop = GetPropInfo(object, rest);
    if (prop == nullptr) throw EComponentError("Property " + path + " does not exist");
    SetValue(component, *object, *prop, value);
}

std::vector<std::string> DescribeProperties(const TObject& object, const std::string& prefix) {
    std::vector<std::string> lines;
    for (const TPropInfo* prop : object.ClassInfo().AllProperties()) {
        if (prop->Kind == tkClass) {
            TObject* sub = prop->GetObject ? prop->GetObject(&object) : nullptr;
            auto* component = dynamic_cast<TComponent*>(sub);
            if (sub != nullptr && component == nullptr) {
                const auto inner = DescribeProperties(*sub, prefix + prop->Name + ".");
                lines.insert(lines.end(), inner.begin(), inner.end());
            } else {
                lines.push_back(prefix + prop->Name + " = " + (component ? component->Name() : ""));
            }
            continue;
        }
        std::string line = prefix + prop->Name + " = " + ValueText(object, *prop);
        if (prop->HasDefault()) line += "  (default " + DefaultText(*prop) + ")";
        lines.push_back(line);
    }
    return lines;
}

}  // namespace zr::design
