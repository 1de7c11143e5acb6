// The framework's registry object: a root key, the access that keys are
// opened with, and one current key whose values are read and written.
#pragma once

#include <string>

#include "Exceptions.h"
#include "Object.h"
#include "../platform/Registry.h"

namespace zr {

// Raised for a value that cannot be written, or read as the type asked for.
ZR_EXCEPTION_CLASS(ERegistryException, Exception);

class TRegistry : public TObject {
  public:
    // RootKey HKEY_CURRENT_USER, Access KEY_ALL_ACCESS, no current key.
    TRegistry();
    explicit TRegistry(os::REGSAM access);
    // Closes the current key.
    ~TRegistry() override;
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    os::HKEY RootKey() const { return rootKey_; }
    // Closes the current key when the root changes.
    void SetRootKey(os::HKEY value);
    // The rights OpenKey asks for.
    os::REGSAM Access() const { return access_; }
    void SetAccess(os::REGSAM value) { access_ = value; }
    // The open key, or 0.
    os::HKEY CurrentKey() const { return currentKey_; }
    // Its path below RootKey.
    const std::string& CurrentPath() const { return currentPath_; }

    // Opens `key` and makes it the current key, closing the one before. A key
    // that begins with "\" is taken from RootKey, any other from the current
    // key (from RootKey when none is open). With `canCreate` a missing key is
    // made. False, with the current key left as it was, when it cannot be
    // opened; a name holding a zero byte is never opened.
    bool OpenKey(const std::string& key, bool canCreate);
    void CloseKey();
    // Whether `key` (resolved as OpenKey does) exists; needs read access only.
    bool KeyExists(const std::string& key);
    bool ValueExists(const std::string& name);

    // The text of a string value (REG_SZ or REG_EXPAND_SZ, unexpanded) up to
    // its terminating zero; "" when there is no such value. Any other type
    // raises ERegistryException "Invalid data type for '<name>'".
    std::string ReadString(const std::string& name);
    // Stores a REG_SZ value; ERegistryException "Failed to set data for
    // '<name>'" when it cannot.
    void WriteString(const std::string& name, const std::string& value);

  private:
    // The key `key` names, opened with `access`, its path below the root; 0
    // when it cannot be opened.
    os::HKEY GetKey(const std::string& key, os::REGSAM access, bool canCreate,
                    std::string& path) const;

    os::HKEY rootKey_ = os::HKEY_CURRENT_USER;
    os::REGSAM access_ = os::KEY_ALL_ACCESS;
    os::HKEY currentKey_ = 0;
    std::string currentPath_;
};

}  // namespace zr
