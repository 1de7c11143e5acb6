// The receivers of a notification as they were when it began: one of them may
// leave the list (or free others) while it is told, so the sender walks a
// copy and checks each against the live list. The usual one or two fit on
// the stack: a notification costs no allocation, and a data set sends
// several for every posted record.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

namespace zr {

template <class T>
class TReceiverSnapshot {
  public:
    explicit TReceiverSnapshot(const std::vector<T*>& receivers) : size_(receivers.size()) {
        if (size_ <= kOnStack)
            std::copy(receivers.begin(), receivers.end(), onStack_.begin());
        else
            onHeap_.assign(receivers.begin(), receivers.end());
    }
    T* const* begin() const { return size_ <= kOnStack ? onStack_.data() : onHeap_.data(); }
    T* const* end() const { return begin() + size_; }

  private:
    static constexpr std::size_t kOnStack = 8;
    std::size_t size_;
    std::array<T*, kOnStack> onStack_;  // only the first size_ are set
    std::vector<T*> onHeap_;
};

}  // namespace zr
