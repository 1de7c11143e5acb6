// Format must survive any format string against any argument list: it may
// only return text or raise EConvertError.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "framework/Exceptions.h"
#include "framework/Format.h"
#include "framework/FormatSettings.h"

namespace {

// The first bytes choose up to eight arguments of varied kinds and values;
// the rest is the format string.
std::vector<zr::TVarRec> Arguments(const uint8_t*& data, size_t& size,
                                   std::vector<std::string>& strings) {
    std::vector<zr::TVarRec> args;
    if (size == 0) return args;
    size_t count = data[0] % 9;
    ++data;
    --size;
    static const double kDoubles[] = {0.0,        -0.0,      1.5,        -1e300,   1e-320,
                                      123456.789, 1.0 / 0.0, -1.0 / 0.0, 0.0 / 0.0};
    static const std::int64_t kIntegers[] = {0,         -1,        1,     2147483647, -2147483648LL,
                                             INT64_MIN, INT64_MAX, 65536, -65537};
    strings.reserve(count);
    for (size_t i = 0; i < count && size > 0; ++i, ++data, --size) {
        uint8_t choice = data[0];
        switch (choice % 6) {
            case 0:
                args.emplace_back(kIntegers[choice / 6 % 9]);
                break;
            case 1:
                args.emplace_back(static_cast<std::uint64_t>(kIntegers[choice / 6 % 9]));
                break;
            case 2:
                args.emplace_back(kDoubles[choice / 6 % 9]);
                break;
            case 3:
                args.emplace_back(reinterpret_cast<const void*>(std::uintptr_t{choice} << 28));
                break;
            case 4:
                args.emplace_back(static_cast<int>(choice) - 128);
                break;
            default:
                strings.emplace_back(choice / 6, '\xC3');
                args.emplace_back(std::string_view(strings.back()));
                break;
        }
    }
    return args;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> strings;
    std::vector<zr::TVarRec> args = Arguments(data, size, strings);
    std::string_view format(reinterpret_cast<const char*>(data), size);
    zr::TFormatSettings settings = zr::TFormatSettings::Default();
    settings.ThousandSeparator = "\xE2\x80\xAF";
    settings.NegCurrFormat = static_cast<int>(size % 20);  // out-of-range layouts too
    try {
        zr::Format(format, args.data(), args.size(), settings);
    } catch (const zr::EConvertError&) {
    }
    return 0;
}
