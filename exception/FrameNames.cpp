#include "exception/FrameNames.h"

#include <algorithm>
#include <cstring>

namespace zr {

namespace {

struct TTypedef {
    std::string_view Spelled;
    std::string_view Short;
};

// Spelled as the demangler writes them, after "std::__cxx11::" became "std::".
constexpr TTypedef kTypedefs[] = {
    {"std::basic_string<char, std::char_traits<char>, std::allocator<char> >", "std::string"},
    {"std::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> >",
     "std::wstring"},
    {"std::basic_string_view<char, std::char_traits<char> >", "std::string_view"},
    {"std::basic_ostringstream<char, std::char_traits<char>, std::allocator<char> >",
     "std::ostringstream"},
    {"std::basic_istringstream<char, std::char_traits<char>, std::allocator<char> >",
     "std::istringstream"},
    {"std::basic_stringstream<char, std::char_traits<char>, std::allocator<char> >",
     "std::stringstream"},
    {"std::basic_ostream<char, std::char_traits<char> >", "std::ostream"},
    {"std::basic_istream<char, std::char_traits<char> >", "std::istream"},
    {"std::basic_iostream<char, std::char_traits<char> >", "std::iostream"},
    {"std::basic_ofstream<char, std::char_traits<char> >", "std::ofstream"},
    {"std::basic_ifstream<char, std::char_traits<char> >", "std::ifstream"},
    {"std::basic_fstream<char, std::char_traits<char> >", "std::fstream"},
};

// Template arguments that are nearly always the default of their place.
constexpr std::string_view kDefaultArguments[] = {
    ", std::allocator<", ", std::char_traits<", ", std::less<",
    ", std::default_delete<", ", std::hash<", ", std::equal_to<",
};

// In-place edits of a text held in a buffer of its own.
class TNameText {
  public:
    TNameText(char* text, size_t length) : text_(text), length_(length) {}
    size_t Length() const { return length_; }

    // Every occurrence of `from` becomes the shorter `to`.
    void Replace(std::string_view from, std::string_view to) {
        for (size_t at = Find(from, 0); at != npos; at = Find(from, at + to.size())) {
            std::memcpy(text_ + at, to.data(), to.size());
            Erase(at + to.size(), from.size() - to.size());
        }
    }

    // Every template argument starting `prefix`, up to its closing bracket.
    void EraseArguments(std::string_view prefix) {
        for (size_t at = Find(prefix, 0); at != npos; at = Find(prefix, at)) {
            const size_t close = Closing(at + prefix.size());
            if (close == npos) return;
            Erase(at, close + 1 - at);
        }
    }

    // "vector<int >" -> "vector<int>", "a<b<c> >" -> "a<b<c>>"; an operator's
    // own name ("operator>") is left alone.
    void TightenClosingBrackets() {
        for (size_t at = Find(" >", 0); at != npos; at = Find(" >", at)) {
            if (at > 0 && text_[at - 1] != ' ' && !EndsWithOperator(at)) {
                Erase(at, 1);
            } else {
                ++at;
            }
        }
    }

  private:
    static constexpr size_t npos = std::string_view::npos;

    size_t Find(std::string_view what, size_t from) const {
        return std::string_view(text_, length_).find(what, from);
    }
    void Erase(size_t at, size_t count) {
        std::memmove(text_ + at, text_ + at + count, length_ - at - count);
        length_ -= count;
    }
    // The '>' that closes the bracket opened just before `from`.
    size_t Closing(size_t from) const {
        int depth = 1;
        for (size_t i = from; i < length_; ++i) {
            if (text_[i] == '<') ++depth;
            if (text_[i] == '>' && --depth == 0) return i;
        }
        return npos;
    }
    bool EndsWithOperator(size_t at) const {
        const std::string_view before(text_, at);
        return before.ends_with("operator") || before.ends_with("operator>") ||
               before.ends_with("operator<") || before.ends_with("operator-");
    }

    char* text_;
    size_t length_;
};

bool Contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

}  // namespace

size_t ShortFrameName(std::string_view name, char* out, size_t capacity) {
    // A name longer than the buffer is taken in as the short form makes room.
    size_t length = 0, taken = 0;
    do {
        const size_t more = std::min(name.size() - taken, capacity - length);
        std::memcpy(out + length, name.data() + taken, more);
        taken += more;
        TNameText text(out, length + more);
        text.Replace("std::__cxx11::", "std::");
        for (const TTypedef& t : kTypedefs) text.Replace(t.Spelled, t.Short);
        for (std::string_view prefix : kDefaultArguments) text.EraseArguments(prefix);
        text.TightenClosingBrackets();
        length = text.Length();
    } while (taken < name.size() && length < capacity);
    return length;
}

bool IsCallPlumbing(std::string_view unit, std::string_view procedure) {
    if (unit == "std_function" || unit == "invoke" || unit == "refwrap") return true;
    return procedure.starts_with("std::_Function_handler<") ||
           procedure.starts_with("std::__invoke") || procedure.starts_with("std::invoke<") ||
           (procedure.starts_with("std::function<") && Contains(procedure, ">::operator()")) ||
           (procedure.starts_with("zr::TClosure<") && Contains(procedure, "::operator()"));
}

}  // namespace zr
