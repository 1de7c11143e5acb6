#include "exception/MapReadAhead.h"

#include <time.h>

#include <thread>

namespace zr {

std::shared_ptr<TMapReadAhead> TMapReadAhead::Start(const std::string& fileName) {
    std::shared_ptr<TMapReadAhead> reader(new TMapReadAhead);
    try {
        std::thread([reader, fileName] { reader->Read(fileName); }).detach();
    } catch (...) {
        // No thread to be had: the map is read at the first report instead.
        reader->done_.store(true);
    }
    return reader;
}

void TMapReadAhead::Read(const std::string& fileName) {
    try {
        auto map = std::make_unique<TKVMapFile>();
        map->SetMapFileName(fileName);
        map->LoadMapFile();
        map_ = std::move(map);
        ready_.store(map_.get(), std::memory_order_release);
    } catch (...) {
        // A map that cannot be read costs the last report its source only.
    }
    done_.store(true, std::memory_order_release);
}

const TKVMapFile* TMapReadAhead::WaitForMap(long milliseconds) const {
    for (long waited = 0; !done_.load(std::memory_order_acquire) && waited < milliseconds;
         ++waited) {
        timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
    }
    return Map();
}

}  // namespace zr
