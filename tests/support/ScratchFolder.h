// A folder of its own for one test, made empty and removed afterwards.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

namespace zr::testing {

class TScratchFolder {
  public:
    explicit TScratchFolder(const std::string& stem = "zr-test") {
        path_ = (std::filesystem::temp_directory_path() /
                 (stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++)))
                    .string();
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TScratchFolder(const TScratchFolder&) = delete;
    TScratchFolder& operator=(const TScratchFolder&) = delete;

    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& Path() const { return path_; }

  private:
    static inline int counter_ = 0;
    std::string path_;
};

}  // namespace zr::testing
