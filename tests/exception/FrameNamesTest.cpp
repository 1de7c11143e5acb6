// Frame names as a person reads them, and the call plumbing folded away.
#include "exception/FrameNames.h"

#include <gtest/gtest.h>

#include <string>

namespace zr {
namespace {

std::string Short(const std::string& name, size_t capacity = 1024) {
    std::string out(capacity, '\0');
    out.resize(ShortFrameName(name, out.data(), out.size()));
    return out;
}

TEST(FrameNames, StandardTypedefsAndNoDefaultTemplateArguments) {
    EXPECT_EQ(Short("f(std::__cxx11::basic_string<char, std::char_traits<char>, "
                    "std::allocator<char> > const&)"),
              "f(std::string const&)");
    EXPECT_EQ(Short("std::vector<std::__cxx11::basic_string<char, std::char_traits<char>, "
                    "std::allocator<char> >, std::allocator<std::__cxx11::basic_string<char, "
                    "std::char_traits<char>, std::allocator<char> > > >::at(unsigned long)"),
              "std::vector<std::string>::at(unsigned long)");
    EXPECT_EQ(Short("std::map<int, std::vector<int, std::allocator<int> >, std::less<int>, "
                    "std::allocator<std::pair<int const, std::vector<int, std::allocator<int> > > "
                    "> >::operator[](int const&)"),
              "std::map<int, std::vector<int>>::operator[](int const&)");
    EXPECT_EQ(Short("std::unique_ptr<T, std::default_delete<T> >::~unique_ptr()"),
              "std::unique_ptr<T>::~unique_ptr()");
    EXPECT_EQ(Short("std::basic_ostream<char, std::char_traits<char> >& "
                    "std::operator<< <std::char_traits<char> >(std::basic_ostream<char, "
                    "std::char_traits<char> >&, char const*)"),
              "std::ostream& std::operator<< <std::char_traits<char>>(std::ostream&, char const*)");
    // An operator's own angle bracket keeps its blank; a name with nothing to
    // shorten comes back as it was; a small buffer gets what fits.
    EXPECT_EQ(Short("bool operator> <int>(A<int> const&, A<int> const&)"),
              "bool operator> <int>(A<int> const&, A<int> const&)");
    EXPECT_EQ(Short("zr::TForm::Show()"), "zr::TForm::Show()");
    EXPECT_EQ(Short("std::__cxx11::basic_string<char, std::char_traits<char>, "
                    "std::allocator<char> >::size() const", 20),
              "std::basic_string<ch");
    EXPECT_EQ(Short("broken<std::allocator<int"), "broken<std::allocator<int");
}

TEST(FrameNames, CallPlumbingByUnitOrProcedure) {
    EXPECT_TRUE(IsCallPlumbing("std_function", "std::function<void (int)>::operator()(int) const"));
    EXPECT_TRUE(IsCallPlumbing("invoke", "std::__invoke_impl<void, F&>(std::__invoke_other, F&)"));
    EXPECT_TRUE(IsCallPlumbing("", "std::_Function_handler<void (zr::TObject*), F>::_M_invoke("
                                   "std::_Any_data const&, zr::TObject*&&)"));
    EXPECT_TRUE(IsCallPlumbing("Event", "zr::TClosure<zr::TObject*>::operator()(zr::TObject*) const"));
    EXPECT_FALSE(IsCallPlumbing("Event", "zr::TClosure<zr::TObject*>::TClosure()"));
    EXPECT_FALSE(IsCallPlumbing("Main", "Main::operator()(int)"));
    EXPECT_FALSE(IsCallPlumbing("stl_algo", "std::for_each<int*, F>(int*, int*, F)"));
}

}  // namespace
}  // namespace zr
