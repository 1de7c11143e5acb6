// zrreg: adds, sets, queries and deletes keys and values of the registry
// store, so that a person or a test can change it from another process.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "tools/common/EscapedText.h"
#include "tools/common/Version.h"

namespace {

using namespace zr::os;

constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;

const char* const Usage =
    "usage: zrreg add KEY\n"
    "       zrreg set KEY NAME TYPE VALUE      TYPE: sz, expand_sz, dword, binary\n"
    "       zrreg set KEY NAME multi_sz [VALUE...]\n"
    "       zrreg query KEY [NAME]\n"
    "       zrreg delete KEY [NAME]\n"
    "       zrreg --help | --version\n"
    "\n"
    "KEY is a root and a path, as in HKEY_CURRENT_USER\\Software\\Example; the roots\n"
    "may be shortened to HKLM, HKCU, HKCR, HKU and HKCC. An empty NAME (\"\") is the\n"
    "key's default value. set makes the key when it is missing; a dword is decimal\n"
    "or 0x hexadecimal; binary is hexadecimal bytes (\"01 ab ff\"). delete without\n"
    "NAME deletes the key with everything below it.\n"
    "\n"
    "The store is $ZORIRIVE_REGISTRY, else $XDG_STATE_HOME/zoririve/registry, else\n"
    "~/.local/state/zoririve/registry (the home folder from $HOME or the password\n"
    "database). What it makes is readable and writable by its owner alone.\n"
    "Exit status: 0 on success, 1 when the store refused, 2 for a wrong command line.\n";

struct TUsageError {
    std::string Text;
};
struct TFailure {
    std::string What;
    LSTATUS Status;
};

std::string ErrorText(LSTATUS status) {
    switch (status) {
        case ERROR_FILE_NOT_FOUND:
            return "The system cannot find the file specified.";
        case ERROR_ACCESS_DENIED:
            return "Access is denied.";
        case ERROR_INVALID_HANDLE:
            return "The handle is invalid.";
        case ERROR_INVALID_PARAMETER:
            return "The parameter is incorrect.";
        case ERROR_BAD_PATHNAME:
            return "The specified path is invalid.";
        case ERROR_BADDB:
            return "The configuration registry database is corrupt.";
        case ERROR_KEY_DELETED:
            return "Illegal operation attempted on a registry key that has been marked for "
                   "deletion.";
        default:
            if (const char* text = SystemErrorText(status); *text) return std::string(text) + ".";
            return "Error " + std::to_string(status) + ".";
    }
}

void Check(LSTATUS status, const std::string& what) {
    if (status != ERROR_SUCCESS) throw TFailure{what, status};
}

struct TKeyName {
    HKEY Root = 0;
    std::string Path;  // below the root
    std::string Text;  // as given
};

TKeyName ParseKey(const std::string& text) {
    static const struct {
        const char* Long;
        const char* Short;
        HKEY Key;
    } roots[] = {{"HKEY_LOCAL_MACHINE", "HKLM", HKEY_LOCAL_MACHINE},
                 {"HKEY_CURRENT_USER", "HKCU", HKEY_CURRENT_USER},
                 {"HKEY_CLASSES_ROOT", "HKCR", HKEY_CLASSES_ROOT},
                 {"HKEY_USERS", "HKU", HKEY_USERS},
                 {"HKEY_CURRENT_CONFIG", "HKCC", HKEY_CURRENT_CONFIG}};
    std::size_t slash = text.find('\\');
    std::string root = text.substr(0, slash);
    std::string path = slash == std::string::npos ? "" : text.substr(slash + 1);
    if (!path.empty() && path.back() == '\\') path.pop_back();
    for (char& c : root) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const auto& r : roots)
        if (root == r.Long || root == r.Short) return {r.Key, path, text};
    throw TUsageError{"unknown root key in '" + text + "' (use HKEY_CURRENT_USER, HKCU, ...)"};
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::vector<BYTE> ParseData(const std::string& type, const std::vector<std::string>& values,
                            DWORD& regType) {
    std::vector<BYTE> data;
    auto single = [&]() -> const std::string& {
        if (values.size() != 1) throw TUsageError{"set " + type + " takes one VALUE"};
        return values[0];
    };
    if (type == "sz" || type == "expand_sz") {
        regType = type == "sz" ? REG_SZ : REG_EXPAND_SZ;
        const std::string& text = single();
        data.assign(text.begin(), text.end());
        data.push_back(0);
    } else if (type == "dword") {
        regType = REG_DWORD;
        const std::string& text = single();
        char* end = nullptr;
        errno = 0;
        unsigned long long number = std::strtoull(text.c_str(), &end, 0);
        if (text.empty() || text[0] == '-' || *end || errno || number > 0xFFFFFFFFull)
            throw TUsageError{"'" + text + "' is no dword (0 to 4294967295, or 0x hexadecimal)"};
        for (int i = 0; i < 4; ++i) data.push_back(static_cast<BYTE>(number >> (8 * i)));
    } else if (type == "binary") {
        regType = REG_BINARY;
        std::string digits;
        for (char c : single()) {
            if (c == ' ' || c == ',' || c == ':') continue;
            if (HexDigit(c) < 0)
                throw TUsageError{"binary VALUE holds '" + std::string(1, c) + "'"};
            digits += c;
        }
        if (digits.size() % 2) throw TUsageError{"binary VALUE has an odd number of digits"};
        for (std::size_t i = 0; i < digits.size(); i += 2)
            data.push_back(static_cast<BYTE>(HexDigit(digits[i]) * 16 + HexDigit(digits[i + 1])));
    } else if (type == "multi_sz") {
        regType = REG_MULTI_SZ;
        for (const auto& item : values) {
            data.insert(data.end(), item.begin(), item.end());
            data.push_back(0);
        }
        data.push_back(0);
    } else {
        throw TUsageError{"unknown TYPE '" + type + "' (sz, expand_sz, dword, binary, multi_sz)"};
    }
    return data;
}

// ---- output ----------------------------------------------------------------

using zr::tools::Escaped;

std::string TypeName(DWORD type) {
    switch (type) {
        case REG_SZ:
            return "sz";
        case REG_EXPAND_SZ:
            return "expand_sz";
        case REG_DWORD:
            return "dword";
        case REG_BINARY:
            return "binary";
        case REG_MULTI_SZ:
            return "multi_sz";
        default:
            return "type(" + std::to_string(type) + ")";
    }
}

std::string DataText(DWORD type, const std::vector<BYTE>& data) {
    std::string text(data.begin(), data.end());
    if (type == REG_SZ || type == REG_EXPAND_SZ) return Escaped(text.substr(0, text.find('\0')));
    if (type == REG_DWORD && data.size() == 4)
        return std::to_string(data[0] | data[1] << 8 | data[2] << 16 | unsigned{data[3]} << 24);
    if (type == REG_MULTI_SZ) {
        std::string out;
        std::size_t at = 0;
        while (at < text.size() && text[at] != '\0') {
            std::size_t end = text.find('\0', at);
            if (end == std::string::npos) end = text.size();
            out += (out.empty() ? "" : "\t") + Escaped(text.substr(at, end - at));
            at = end + 1;
        }
        return out;
    }
    std::string out;
    for (BYTE b : data) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%s%02x", out.empty() ? "" : " ", b);
        out += hex;
    }
    return out;
}

void PrintValue(const std::string& name, DWORD type, const std::vector<BYTE>& data) {
    std::cout << Escaped(name) << '\t' << TypeName(type) << '\t' << DataText(type, data) << '\n';
}

// ---- commands --------------------------------------------------------------

HKEY Open(const TKeyName& key, REGSAM access) {
    HKEY handle = 0;
    Check(RegOpenKeyEx(key.Root, key.Path.c_str(), 0, access, &handle), key.Text);
    return handle;
}

HKEY Create(const TKeyName& key) {
    HKEY handle = 0;
    Check(RegCreateKeyEx(key.Root, key.Path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                         KEY_ALL_ACCESS, nullptr, &handle, nullptr),
          key.Text);
    return handle;
}

// Closes the handle however the command ends.
struct TKeyHolder {
    HKEY Key;
    ~TKeyHolder() { RegCloseKey(Key); }
};

void Query(const TKeyName& key, const std::string* name) {
    TKeyHolder open{Open(key, KEY_READ)};
    if (name) {
        DWORD type = 0;
        DWORD size = 0;
        std::vector<BYTE> data;
        LSTATUS status = RegQueryValueEx(open.Key, name->c_str(), nullptr, &type, nullptr, &size);
        // The value may grow between the calls: ask again with its new size.
        while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
            data.resize(size);
            status = RegQueryValueEx(open.Key, name->c_str(), nullptr, &type, data.data(), &size);
            if (status != ERROR_MORE_DATA) break;
        }
        Check(status, key.Text + " " + *name);
        data.resize(size);
        PrintValue(*name, type, data);
        return;
    }
    char subkey[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = sizeof subkey;
        LSTATUS status =
            RegEnumKeyEx(open.Key, i, subkey, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        Check(status, key.Text);
        std::cout << Escaped(subkey) << "\\\n";
    }
    for (DWORD i = 0;; ++i) {
        std::vector<char> valueName(16384);
        DWORD nameLength = static_cast<DWORD>(valueName.size());
        DWORD type = 0;
        DWORD size = 0;
        LSTATUS status = RegEnumValue(open.Key, i, valueName.data(), &nameLength, nullptr, &type,
                                      nullptr, &size);
        if (status == ERROR_NO_MORE_ITEMS) break;
        Check(status, key.Text);
        std::vector<BYTE> data(size);
        nameLength = static_cast<DWORD>(valueName.size());
        Check(RegEnumValue(open.Key, i, valueName.data(), &nameLength, nullptr, &type, data.data(),
                           &size),
              key.Text);
        data.resize(size);
        PrintValue(std::string(valueName.data(), nameLength), type, data);
    }
}

LSTATUS DeleteTree(HKEY parent, const std::string& path) {
    HKEY key = 0;
    if (LSTATUS status = RegOpenKeyEx(parent, path.c_str(), 0, KEY_ALL_ACCESS, &key);
        status != ERROR_SUCCESS)
        return status;
    LSTATUS status = ERROR_SUCCESS;
    char subkey[256];
    DWORD length = sizeof subkey;
    // Always the first subkey: each one is gone before the next is asked for.
    while (status == ERROR_SUCCESS && RegEnumKeyEx(key, 0, subkey, &length, nullptr, nullptr,
                                                   nullptr, nullptr) == ERROR_SUCCESS) {
        status = DeleteTree(key, subkey);
        length = sizeof subkey;
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? RegDeleteKey(parent, path.c_str()) : status;
}

int Run(const std::vector<std::string>& args) {
    if (args.empty()) throw TUsageError{"no command"};
    const std::string& command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << Usage;
        return 0;
    }
    if (command == "--version" && args.size() == 1) return zr::tools::PrintVersion("zrreg");
    if (args.size() < 2) throw TUsageError{"'" + command + "' needs a KEY"};
    TKeyName key = ParseKey(args[1]);
    if (command == "add" && args.size() == 2) {
        RegCloseKey(Create(key));
    } else if (command == "set" && args.size() >= 4) {
        DWORD type = 0;
        auto data = ParseData(args[3], {args.begin() + 4, args.end()}, type);
        TKeyHolder open{Create(key)};
        Check(RegSetValueEx(open.Key, args[2].c_str(), 0, type, data.data(),
                            static_cast<DWORD>(data.size())),
              key.Text + " " + args[2]);
    } else if (command == "query" && args.size() <= 3) {
        Query(key, args.size() == 3 ? &args[2] : nullptr);
    } else if (command == "delete" && args.size() == 3) {
        TKeyHolder open{Open(key, KEY_ALL_ACCESS)};
        Check(RegDeleteValue(open.Key, args[2].c_str()), key.Text + " " + args[2]);
    } else if (command == "delete" && args.size() == 2) {
        std::size_t last = key.Path.rfind('\\');
        if (key.Path.empty()) throw TUsageError{"a root key cannot be deleted"};
        TKeyName parent{key.Root, last == std::string::npos ? "" : key.Path.substr(0, last),
                        key.Text};
        TKeyHolder open{Open(parent, KEY_ALL_ACCESS)};
        Check(DeleteTree(open.Key, key.Path.substr(last + 1)), key.Text);
    } else if (command == "add" || command == "set" || command == "query" || command == "delete") {
        throw TUsageError{"wrong number of arguments for '" + command + "'"};
    } else {
        throw TUsageError{"unknown command '" + command + "'"};
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run({argv + 1, argv + argc});
    } catch (const TUsageError& error) {
        std::cerr << "zrreg: " << error.Text << "\n" << Usage;
        return ExitUsage;
    } catch (const TFailure& failure) {
        std::cerr << "zrreg: " << failure.What << ": " << ErrorText(failure.Status) << "\n";
        return ExitFailed;
    }
}
