// What the form parser says of a text: its error message, or "no error".
#pragma once

#include <string>

#include "framework/Exceptions.h"
#include "framework/FormParser.h"

namespace zr {

inline std::string ParseErrorOf(const std::string& text) {
    try {
        ParseForm(text);
    } catch (const EParserError& e) {
        return e.Message();
    }
    return "no error";
}

}  // namespace zr
