#pragma once

#include <algorithm>

// The value a progress gauge shows: clamped to 0..100. Set() tells whether the
// shown value changed, which is the only time the gauge repaints.
class GaugeValue {
public:
    int Get() const { return value_; }
    bool Set(int value) {
        value = std::clamp(value, 0, 100);
        if (value == value_)
            return false;
        value_ = value;
        return true;
    }

private:
    int value_ = 0;
};
