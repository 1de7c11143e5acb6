// What the headers say that the type information cannot: the names of an
// event handler's parameters, which C++ keeps only in the declaration of the
// event's type (`TClosure<TObject* /*Sender*/, long /*ResidentKb*/>`), and a
// class's public members with the comments above them.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace zr::doc {

// One public member of a class: its declaration as written (without a body),
// and the comment lines above it.
struct THeaderMember {
    std::string Declaration;
    std::string Comment;
};

class THeaderText {
  public:
    // Reads every header of the suite's source folders below `sourceRoot`;
    // an empty root (or one without headers) knows no names.
    explicit THeaderText(const std::string& sourceRoot);

    // The parameter names of event `event` as `className` (or a class it
    // derives from, tried in the order given) declares its type; empty when
    // the declaration names none of them.
    std::vector<std::string> EventParamNames(const std::vector<std::string>& classes,
                                             const std::string& event) const;

    // The public members `className` declares itself, in order; empty for a
    // class no header declares.
    std::vector<THeaderMember> PublicMembers(const std::string& className) const;
    // The header that declares `className`, relative to the source root.
    std::string HeaderOf(const std::string& className) const;

  private:
    struct TClassText {
        std::string Header;
        std::string Body;
        bool IsStruct = false;
    };
    std::string ClassBody(const std::string& className) const;

    std::map<std::string, TClassText> classes_;          // class name -> where and what
    std::map<std::string, std::string> closureAliases_;  // alias -> TClosure<...> arguments
};

}  // namespace zr::doc
