// Feeds arbitrary bytes to the registry store's values file parser. Whatever
// it accepts must be written back to a text that reads as the same values,
// byte for byte: the store rewrites that file on every change. A change is
// made by editing the file's text one line at a time, so the edited text must
// read as the same change made to the values themselves.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/RegistrySnapshot.h"
#include "platform/RegistryValues.h"

using namespace zr::os::regstore;

namespace {

bool Same(const TStoredValue& a, const TStoredValue& b) {
    return a.Name == b.Name && a.Type == b.Type && a.Data == b.Data;
}

// The snapshot's text reads as `expected`, and its own view agrees.
void Expect(const TValueSnapshot& snapshot, const TValueList& expected) {
    auto read = ParseValues(snapshot.Text());
    if (!read || read->size() != expected.size() || snapshot.Count() != expected.size())
        std::abort();
    for (std::size_t i = 0; i < expected.size(); ++i)
        if (!Same((*read)[i], expected[i]) || !Same(snapshot.At(i), expected[i])) std::abort();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        std::size_t first = 0;
        while (!SameName(expected[first].Name, expected[i].Name)) ++first;
        if (snapshot.Find(expected[i].Name) != first) std::abort();
    }
}

void CheckEdits(const std::string& text, const TValueList& values) {
    auto snapshot = TValueSnapshot::Parse(text);
    if (!snapshot) std::abort();
    Expect(*snapshot, values);
    // Set the first value under another spelling, then a new one, then
    // delete the first name.
    std::string name = values.empty() ? "new" : values.front().Name;
    for (char& c : name) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    TValueList expected = values;
    auto set = snapshot->WithValue(name, 4, {1, 2, 3, 4});
    bool found = false;
    for (auto& value : expected)
        if (!found && SameName(value.Name, name))
            value.Type = 4, value.Data = {1, 2, 3, 4}, found = true;
    if (!found) expected.push_back({name, 4, {1, 2, 3, 4}});
    Expect(set, expected);
    auto added = set.WithValue("\x01" "added\"", 1, {'x', 0});
    expected.push_back({"\x01" "added\"", 1, {'x', 0}});
    Expect(added, expected);
    auto removed = added.Without(name);
    if (!removed) std::abort();
    std::erase_if(expected, [&](const TStoredValue& v) { return SameName(v.Name, name); });
    Expect(*removed, expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    auto values = ParseValues(text);
    if (!values) {
        if (TValueSnapshot::Parse(text)) std::abort();
        return 0;
    }
    CheckEdits(text, *values);
    auto again = ParseValues(FormatValues(*values));
    if (!again || again->size() != values->size()) std::abort();
    for (std::size_t i = 0; i < values->size(); ++i) {
        const auto& a = (*values)[i];
        const auto& b = (*again)[i];
        if (a.Name != b.Name || a.Type != b.Type || a.Data != b.Data) std::abort();
    }
    return 0;
}
