// Built with -O2: raises from code that the compiler inlines into the
// function that calls it, once inside a standard algorithm running a lambda
// and once inside a lambda called directly, and prints where each raise
// happened and which line of the calling function the map should name.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "framework/Exceptions.h"

namespace maptest {

// Each function is followed by the number of its line that holds the call.
[[gnu::noinline]] int SumOfPositives(const std::vector<int>& values) {
    int sum = 0;
    auto add = [&sum](int v) {
        if (v < 0) throw zr::EConvertError("negative value " + std::to_string(v));
        sum += v;
    };
    std::for_each(values.begin(), values.end(), add);
    return sum;
}
const int sumLine = __LINE__ - 3;

[[gnu::noinline]] std::string Label(const std::string& name) {
    auto check = [](const std::string& text) {
        if (text.empty()) throw zr::EConvertError("empty name");
        return text.size();
    };
    const size_t size = check(name);
    return name + ":" + std::to_string(size);
}
const int labelLine = __LINE__ - 3;

}  // namespace maptest

int main() {
    try {
        maptest::SumOfPositives({1, 2, -3});
        return 1;
    } catch (const zr::Exception& e) {
        std::printf("algorithm %p %d\n", e.RaiseAddress(), maptest::sumLine);
    }
    try {
        maptest::Label("");
        return 1;
    } catch (const zr::Exception& e) {
        std::printf("lambda %p %d\n", e.RaiseAddress(), maptest::labelLine);
    }
    return 0;
}
