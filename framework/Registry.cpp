#include "framework/Registry.h"

#include <vector>

namespace zr {

namespace {

bool HoldsZero(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

}  // namespace

TRegistry::TRegistry() = default;

TRegistry::TRegistry(os::REGSAM access) : access_(access) {}

TRegistry::~TRegistry() {
    CloseKey();
}

void TRegistry::SetRootKey(os::HKEY value) {
    if (value == rootKey_) return;
    CloseKey();
    rootKey_ = value;
}

os::HKEY TRegistry::GetKey(const std::string& key, os::REGSAM access, bool canCreate,
                           std::string& path) const {
    // A zero byte would cut the name short at the platform and open some
    // other key than the one asked for.
    if (HoldsZero(key)) return 0;
    bool fromRoot = !key.empty() && key.front() == '\\';
    std::string relative = fromRoot ? key.substr(1) : key;
    os::HKEY base = fromRoot || !currentKey_ ? rootKey_ : currentKey_;
    path = fromRoot || !currentKey_ || currentPath_.empty() ? relative
           : relative.empty()                               ? currentPath_
                                                            : currentPath_ + "\\" + relative;
    if (!path.empty() && path.back() == '\\') path.pop_back();
    os::HKEY result = 0;
    os::LSTATUS status = canCreate ? os::RegCreateKeyEx(base, relative.c_str(), 0, nullptr,
                                                        os::REG_OPTION_NON_VOLATILE, access,
                                                        nullptr, &result, nullptr)
                                   : os::RegOpenKeyEx(base, relative.c_str(), 0, access, &result);
    return status == os::ERROR_SUCCESS ? result : 0;
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
    std::string path;
    os::HKEY opened = GetKey(key, access_, canCreate, path);
    if (!opened) return false;
    CloseKey();
    currentKey_ = opened;
    currentPath_ = std::move(path);
    return true;
}

void TRegistry::CloseKey() {
    if (currentKey_) os::RegCloseKey(currentKey_);
    currentKey_ = 0;
    currentPath_.clear();
}

bool TRegistry::KeyExists(const std::string& key) {
    std::string path;
    os::HKEY opened = GetKey(key, os::KEY_QUERY_VALUE | os::KEY_ENUMERATE_SUB_KEYS, false, path);
    if (opened) os::RegCloseKey(opened);
    return opened != 0;
}

bool TRegistry::ValueExists(const std::string& name) {
    if (HoldsZero(name)) return false;
    return os::RegQueryValueEx(currentKey_ ? currentKey_ : rootKey_, name.c_str(), nullptr, nullptr,
                               nullptr, nullptr) == os::ERROR_SUCCESS;
}

std::string TRegistry::ReadString(const std::string& name) {
    if (HoldsZero(name)) return {};
    os::HKEY key = currentKey_ ? currentKey_ : rootKey_;
    os::DWORD type = 0;
    os::DWORD size = 0;
    if (os::RegQueryValueEx(key, name.c_str(), nullptr, &type, nullptr, &size) != os::ERROR_SUCCESS)
        return {};
    if (type != os::REG_SZ && type != os::REG_EXPAND_SZ)
        throw ERegistryException("Invalid data type for '" + name + "'");
    // The value may grow between the two calls: ask again with its new size.
    std::vector<os::BYTE> data(size);
    os::LSTATUS status;
    while ((status = os::RegQueryValueEx(key, name.c_str(), nullptr, &type, data.data(), &size)) ==
           os::ERROR_MORE_DATA)
        data.resize(size);
    if (status != os::ERROR_SUCCESS) return {};
    if (type != os::REG_SZ && type != os::REG_EXPAND_SZ)
        throw ERegistryException("Invalid data type for '" + name + "'");
    std::string text(data.begin(), data.begin() + size);
    return text.substr(0, text.find('\0'));
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
    os::HKEY key = currentKey_ ? currentKey_ : rootKey_;
    if (HoldsZero(name) ||
        os::RegSetValueEx(key, name.c_str(), 0, os::REG_SZ,
                          reinterpret_cast<const os::BYTE*>(value.c_str()),
                          static_cast<os::DWORD>(value.size() + 1)) != os::ERROR_SUCCESS)
        throw ERegistryException("Failed to set data for '" + name + "'");
}

}  // namespace zr
