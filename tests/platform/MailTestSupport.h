// Helpers of the mail tests (and environment variables set for a scope): a
// MIME reader that reads a message back the way a mail reader does,
// independently of the code that wrote it (unfolded headers, the parts of a
// multipart body, base64, quoted-printable and encoded words).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ScopedEnv.h"

namespace zr::testing {

inline std::string DecodeBase64(const std::string& text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        const int v = value(c);
        if (v < 0) continue;  // line breaks
        bits = bits << 6 | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

inline std::string DecodeQuotedPrintable(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '=') {
            out += text[i];
            continue;
        }
        if (text.compare(i + 1, 2, "\r\n") == 0) {
            i += 2;  // soft line break
        } else if (i + 1 < text.size() && text[i + 1] == '\n') {
            i += 1;
        } else {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        }
    }
    return out;
}

// "=?UTF-8?B?...?=" words decoded; the blanks between two of them dropped.
inline std::string DecodeEncodedWords(const std::string& value) {
    const std::string open = "=?UTF-8?B?";
    std::string out;
    bool afterWord = false;
    for (std::size_t at = 0; at < value.size();) {
        const std::size_t word = value.find(open, at);
        const std::string between = value.substr(at, word - at);
        if (!afterWord || word == std::string::npos ||
            between.find_first_not_of(' ') != std::string::npos)
            out += between;
        if (word == std::string::npos) break;
        const std::size_t end = value.find("?=", word + open.size());
        out += DecodeBase64(value.substr(word + open.size(), end - word - open.size()));
        at = end + 2;
        afterWord = true;
    }
    return out;
}

struct MimePart {
    std::multimap<std::string, std::string> headers;  // lower-case names, unfolded values
    std::string rawHeaders;
    std::string body;  // still encoded

    std::string Header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
    // A parameter of a header ("boundary", "filename"), quotes removed.
    std::string Parameter(const std::string& header, const std::string& name) const {
        const std::string value = Header(header);
        const std::size_t at = value.find(name + "=");
        if (at == std::string::npos) return {};
        std::size_t start = at + name.size() + 1;
        if (value[start] == '"') {
            std::string out;
            for (++start; start < value.size() && value[start] != '"'; ++start) {
                if (value[start] == '\\') ++start;
                out += value[start];
            }
            return out;
        }
        return value.substr(start, value.find(';', start) - start);
    }
    std::string Decoded() const {
        const std::string encoding = Header("content-transfer-encoding");
        if (encoding == "base64") return DecodeBase64(body);
        if (encoding == "quoted-printable") return DecodeQuotedPrintable(body);
        return body;
    }
};

// Splits a header block from its body and unfolds the header lines.
inline MimePart ReadPart(const std::string& text, const std::string& nl) {
    MimePart part;
    const std::size_t end = text.find(nl + nl);
    part.rawHeaders = text.substr(0, end == std::string::npos ? text.size() : end + nl.size());
    part.body = end == std::string::npos ? std::string() : text.substr(end + 2 * nl.size());
    std::string unfolded = part.rawHeaders;
    for (std::size_t fold; (fold = unfolded.find(nl + " ")) != std::string::npos;)
        unfolded.erase(fold, nl.size());
    for (std::size_t start = 0, stop; start < unfolded.size(); start = stop + nl.size()) {
        stop = std::min(unfolded.find(nl, start), unfolded.size());
        const std::string line = unfolded.substr(start, stop - start);
        const std::size_t colon = line.find(": ");
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        part.headers.emplace(name, line.substr(colon + 2));
    }
    return part;
}

struct MimeMessageRead {
    MimePart head;
    std::vector<MimePart> parts;
};

// The message and its parts; fails the test when it is not multipart/mixed
// with a closing boundary.
inline MimeMessageRead ReadMime(const std::string& text, const std::string& nl = "\r\n") {
    MimeMessageRead message;
    message.head = ReadPart(text, nl);
    EXPECT_EQ(message.head.Header("mime-version"), "1.0");
    EXPECT_EQ(message.head.Header("content-type").rfind("multipart/mixed;", 0), 0u);
    const std::string boundary = message.head.Parameter("content-type", "boundary");
    EXPECT_FALSE(boundary.empty());
    if (boundary.empty()) return message;
    const std::string delimiter = nl + "--" + boundary;
    const std::string& body = message.head.body;
    std::size_t at = body.find(delimiter);
    while (at != std::string::npos) {
        const std::size_t start = at + delimiter.size();
        if (body.compare(start, 2, "--") == 0) return message;  // the closing boundary
        const std::size_t next = body.find(delimiter, start);
        EXPECT_NE(next, std::string::npos) << "no closing boundary";
        if (next == std::string::npos) return message;
        message.parts.push_back(
            ReadPart(body.substr(start + nl.size(), next - start - nl.size()), nl));
        at = next;
    }
    ADD_FAILURE() << "no boundary found";
    return message;
}

}  // namespace zr::testing
