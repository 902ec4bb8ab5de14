#include "api/Stats.h"

namespace vesk {

Stats &stats() {
    static Stats s;
    return s;
}

}  // namespace vesk
