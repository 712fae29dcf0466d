// The messages a windowed backend collects for the program (button presses,
// close requests), in arrival order. Full, it drops the newest: an operator
// cannot click 64 times between two polls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vr::ui::backend {

class MessageQueue {
public:
    bool empty() const { return len_ == 0; }

    void push(int32_t type, int32_t value1) {
        if (len_ == items_.size()) return;
        items_[(head_ + len_++) % items_.size()] = {type, value1};
    }

    // The oldest message, or type -1 with value 1 = -1 when there is none.
    void pop(int32_t& type, int32_t& value1) {
        if (len_ == 0) {
            type = -1;
            value1 = -1;
            return;
        }
        type = items_[head_].type;
        value1 = items_[head_].value1;
        head_ = (head_ + 1) % items_.size();
        --len_;
    }

private:
    struct Pending {
        int32_t type, value1;
    };
    std::array<Pending, 64> items_{};
    std::size_t head_ = 0, len_ = 0;
};

}  // namespace vr::ui::backend
