// The envelope reader (and the JSON reader under it) on arbitrary bytes: an
// outbox file may be damaged or written by hand, and zrsend reads it. A
// readable envelope must survive having its sent_at added; the collector
// address parser gets the first line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/CollectorDsn.h"
#include "platform/CollectorEnvelope.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    zr::os::envelope::TEnvelope parsed;
    std::string error;
    if (zr::os::envelope::Parse(text, parsed, error)) {
        const std::string sent = zr::os::envelope::WithSentAt(text, "2026-01-01T00:00:00.000Z");
        zr::os::envelope::TEnvelope again;
        if (!zr::os::envelope::Parse(sent, again, error) || again.Items.size() != parsed.Items.size())
            __builtin_trap();
    }
    zr::os::TCollectorDsn dsn;
    zr::os::ParseCollectorDsn(text.substr(0, text.find('\n')), dsn, error);
    return 0;
}
